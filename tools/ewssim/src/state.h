// Saving and loading mailboxes between runs (the optional state file).
#pragma once

#include <string>

#include "store.h"

namespace ewssim {

bool LoadState(const std::string& path, const SchemaModel& schema, Store& store);
void SaveState(const std::string& path, const Store& store);

}  // namespace ewssim
