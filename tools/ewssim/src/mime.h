// RFC 5322 / MIME: the MimeContent of an item, and items made from MIME content.
#pragma once

#include <string>

#include "store.h"

namespace ewssim {

std::string GenerateMime(const Mailbox& mbx, const Item& item);
// Fills an item's elements (subject, addresses, dates, body) and attachments from MIME bytes.
void ImportMime(const ParseContext& ctx, const std::string& bytes, Item& item);

}  // namespace ewssim
