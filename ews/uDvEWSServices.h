/// @file
/// The session's name services: the result of resolving a text against the directory and the
/// contacts (a ResolutionSet of Resolution entries, each a mailbox and, when asked for, a contact).
#pragma once

#include <memory>
#include <string>

#include "DvXML.h"
#include "uDvEWSTypes.h"

namespace dv {

/// One match of a name resolution: a mailbox and, when asked for, its contact.
class IDvEWSResolution {
 public:
  virtual ~IDvEWSResolution() = default;
  /// The entry's mailbox (schema object over its "Mailbox" child; none when absent). It shares
  /// the answer's document, so it stays valid after the entry and its set are released.
  virtual std::shared_ptr<TEwsEmailAddressType> Recipient() = 0;
  /// The entry's contact (over its "Contact" child; none when absent), valid as long as held.
  virtual std::shared_ptr<TEwsContactItem> Contact() = 0;
};
/// A shared resolution entry.
using DvEWSResolutionPtr = std::shared_ptr<IDvEWSResolution>;

/// The matches of TDvEWSCustomSession::ResolveName.
class IDvEWSResolutionSet {
 public:
  virtual ~IDvEWSResolutionSet() = default;
  /// EListError when out of range.
  virtual DvEWSResolutionPtr GetItem(int index) = 0;
  /// The number of matches.
  virtual int Count() = 0;
  /// False when the server returned only part of the matches.
  virtual bool IncludesLastItemInRange() = 0;
};
/// A shared resolution set.
using DvEWSResolutionSetPtr = std::shared_ptr<IDvEWSResolutionSet>;

/// The resolution entry class (see IDvEWSResolution).
class TDvEWSResolution : public IDvEWSResolution {
 public:
  /// Over a "Resolution" element.
  explicit TDvEWSResolution(const DvDOMElementPtr& element);
  std::shared_ptr<TEwsEmailAddressType> Recipient() override;
  std::shared_ptr<TEwsContactItem> Contact() override;

 private:
  DvDOMElementPtr FElement;
  std::shared_ptr<TEwsEmailAddressType> FRecipient;
  std::shared_ptr<TEwsContactItem> FContact;
};

/// The resolution set class (see IDvEWSResolutionSet).
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
