// TKM: our device library. The station reaches the device under test only
// through these eight functions. Transport is Modbus TCP: a USB open
// connects to TKM_USB_ENDPOINT (HOST:PORT, default 127.0.0.1:5020), a TCP
// open to the given dotted IPv4 address on TKM_TCP_PORT (default 502).
#pragma once
#include <cstdint>

// Library version, answered by TKM_ReadLibraryConfigS("TKM_LIBRARY_VERSION").
#define TKM_LIBRARY_VERSION_NUMBER 1.0100

// Time-outs, all optional environment settings in milliseconds:
//   TKM_CONNECT_TIMEOUT_MS  one connection attempt (default 3000)
//   TKM_REPLY_TIMEOUT_MS    sending a request and receiving its whole reply
//                           (default 3000)
//   TKM_RECONNECT_MS        how long (program clock) a call on a handle whose
//                           connection broke tries to reconnect (default 10000)
// A call never waits longer than these.

// Size of the frame buffer that TKM_MBFBComm reads the request from and
// writes the reply into.
#define TKM_FRAME_CAPACITY 1536

// Result codes. 0 is success; device error replies return the device's own
// 16-bit code (for example 2358, flash busy).
enum TKM_Code {
  TKM_OK = 0,
  TKM_STREAM_RATE_LOWERED = 203,   // stream started at a lower scan rate
  TKM_NO_DEVICE = 1227,            // nothing answers at that endpoint or address
  TKM_ERR_BAD_ARGUMENT = 1300,     // null pointer, unknown type text, bad count
  TKM_ERR_UNKNOWN_HANDLE = 1301,   // handle not open
  TKM_ERR_TOO_MANY_HANDLES = 1302, // handle table full
  TKM_ERR_BAD_ADDRESS = 1303,      // address text is not a dotted IPv4 address
  TKM_ERR_CONNECTION_LOST = 1304,  // connection broke and could not be re-made
  TKM_ERR_TIMEOUT = 1305,          // no (complete) reply within the reply time-out
  TKM_ERR_BAD_TRANSACTION = 1306,  // reply carries another transaction identifier
  TKM_ERR_BAD_PROTOCOL = 1307,     // reply's protocol identifier is not 0
  TKM_ERR_BAD_FUNCTION = 1308,     // reply's function code is not the request's
  TKM_ERR_BAD_LENGTH = 1309,       // reply length does not match what was asked
  TKM_ERR_FRAME_TOO_LARGE = 1310,  // request or reply would not fit the frame
  TKM_ERR_SEND_FAILED = 1311,      // the request could not be sent
  TKM_ERR_NOT_STREAMING = 1312,    // stream read without a running stream
  TKM_ERR_UNKNOWN_CONFIG = 1313,   // unknown library configuration name
  TKM_ERR_EMPTY_ERROR_REPLY = 1314,// error reply (0xCC) whose device code is 0
  TKM_ERR_CONNECT_FAILED = 1315,   // the connection could not be set up (no socket)
  TKM_ERR_MODBUS_EXCEPTION = 1400, // 1400 + n: standard Modbus exception n
};

int TKM_OpenS(const char* deviceType, const char* connectionType, const char* identifier,
              int* handle);
int TKM_Close(int handle);
// typeCode 1: the register pair at address as an unsigned 32-bit value.
int TKM_eReadAddress(int handle, int address, int typeCode, double* value);
// frame: TKM_FRAME_CAPACITY bytes holding a function-76 request; the reply
// is written over it. errorAddress receives 0 (not used by the station).
int TKM_MBFBComm(int handle, int unitId, unsigned char* frame, int* errorAddress);
int TKM_eStreamStart(int handle, int scansPerRead, int numAddresses, const int* addresses,
                     double* scanRate);
// data: scansPerRead x numAddresses doubles, interleaved scan by scan.
int TKM_eStreamRead(int handle, double* data, int* deviceBacklog, int* libraryBacklog);
int TKM_eStreamStop(int handle);
int TKM_ReadLibraryConfigS(const char* name, double* value);
