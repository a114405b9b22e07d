// Builds without the item unit: folders and stores can list, copy, move and delete items, but
// cannot hand out item objects. The item unit (uDvEWSItem.cpp) defines the real factory, and the
// build leaves this file out as soon as that unit exists.
#include "uDvEWSFolder.h"

namespace dv {

DvEWSItemPtr DvEWSCreateItemObject(TDvEWSObject&, TItemType, const TItemId&) {
  throw Exception("Item objects are not available in this build!");
}

}  // namespace dv
