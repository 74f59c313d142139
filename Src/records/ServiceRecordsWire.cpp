// The field lists of the service records that are on the wire today (each service's converters
// live in their own file: FileRecordsWire.cpp, ...).
#include "VireoRecords/ServiceRecordsWire.h"
