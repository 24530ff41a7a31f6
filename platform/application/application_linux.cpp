#include "platform/application/application_linux.h"

// Everything LinuxApplication does fits in its header (which is to say nothing);
// this file keeps the header compiled with the library's warnings.
