#include <cstring>

#include "tkm/tkm.h"

int TKM_ReadLibraryConfigS(const char* name, double* value) {
  if (name == nullptr || value == nullptr) return TKM_ERR_BAD_ARGUMENT;
  if (strcmp(name, "TKM_LIBRARY_VERSION") == 0) {
    *value = TKM_LIBRARY_VERSION_NUMBER;
    return TKM_OK;
  }
  return TKM_ERR_UNKNOWN_CONFIG;
}
