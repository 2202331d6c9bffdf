// Stream check of the Ethernet test, exposed for direct tests.
#pragma once

// Streams analog inputs 0, 1, 2 and 15 over handle and checks one scan of
// every read. Writes its outcome into buffer (500 bytes). Returns the code
// of the final stream stop when every check passes, 1, 2 or 3 for a bad
// value at the first, second or third check, 4 for a communication error.
int StreamCheck(int handle, char* buffer);
