/// @file
/// The session's name services: the result of resolving a text against the directory and the
/// contacts (a ResolutionSet of Resolution entries, each a mailbox and, when asked for, a contact).
#pragma once

#include <memory>
#include <string>

#include "DvXML.h"
#include "uDvEWSTypes.h"

namespace dv {

class IDvEWSResolution {
 public:
  virtual ~IDvEWSResolution() = default;
  /// The entry's mailbox (schema object over its "Mailbox" child; none when absent).
  virtual TEwsEmailAddressType* Recipient() = 0;
  /// The entry's contact (over its "Contact" child; none when absent).
  virtual TEwsContactItem* Contact() = 0;
};
using DvEWSResolutionPtr = std::shared_ptr<IDvEWSResolution>;

class IDvEWSResolutionSet {
 public:
  virtual ~IDvEWSResolutionSet() = default;
  /// EListError when out of range.
  virtual DvEWSResolutionPtr GetItem(int index) = 0;
  virtual int Count() = 0;
  virtual bool IncludesLastItemInRange() = 0;
};
using DvEWSResolutionSetPtr = std::shared_ptr<IDvEWSResolutionSet>;

class TDvEWSResolution : public IDvEWSResolution {
 public:
  explicit TDvEWSResolution(const DvDOMElementPtr& element);
  TEwsEmailAddressType* Recipient() override;
  TEwsContactItem* Contact() override;

 private:
  DvDOMElementPtr FElement;
  std::unique_ptr<TEwsEmailAddressType> FRecipient;
  std::unique_ptr<TEwsContactItem> FContact;
};

class TDvEWSResolutionSet : public IDvEWSResolutionSet {
 public:
  /// Over a "ResolutionSet" element (none gives an empty set).
  explicit TDvEWSResolutionSet(const DvDOMElementPtr& element);
  DvEWSResolutionPtr GetItem(int index) override;
  int Count() override;
  bool IncludesLastItemInRange() override;

 private:
  DvDOMElementPtr FElement;
};

}  // namespace dv
