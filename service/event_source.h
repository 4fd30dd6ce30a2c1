// The service's event source in the registry: the message file that event
// viewers format its records with.
#ifndef QZ_SERVICE_EVENT_SOURCE_H
#define QZ_SERVICE_EVENT_SOURCE_H

#include <cstdint>

#include "foundation/string.h"

// True when the executable carries a message table (resource 1).
bool HasMessageTable();
// Creates or updates the Application log's key of the source with the
// message file and the error, warning and information types. On failure a
// key it created is removed again and error holds the registry's code.
bool AddEventSource(const TQZString& source, const TQZString& messageFile,
                    uint32_t& error);
// Removes the source's key; a key that is not there counts as removed.
bool RemoveEventSource(const TQZString& source, uint32_t& error);

#endif  // QZ_SERVICE_EVENT_SOURCE_H
