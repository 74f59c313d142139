#pragma once
// Converters of the records of the other services (VireoServer/ServiceRecords.h) that are on the
// wire today.
#include "VireoRecords/FileRecordsWire.h"
#include "VireoRecords/RecordScheme.h"
#include "VireoServer/ServiceRecords.h"
