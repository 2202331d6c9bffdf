// Placeholder transport until the Modbus TCP transport lands: no device.
#include "tkm/tkm.h"

int TKM_OpenS(const char*, const char*, const char*, int*) { return TKM_NO_DEVICE; }
int TKM_Close(int) { return TKM_OK; }
int TKM_eReadAddress(int, int, int, double*) { return TKM_ERR_UNKNOWN_HANDLE; }
int TKM_MBFBComm(int, int, unsigned char*, int*) { return TKM_ERR_UNKNOWN_HANDLE; }
int TKM_eStreamStart(int, int, int, const int*, double*) { return TKM_ERR_UNKNOWN_HANDLE; }
int TKM_eStreamRead(int, double*, int*, int*) { return TKM_ERR_UNKNOWN_HANDLE; }
int TKM_eStreamStop(int) { return TKM_OK; }
