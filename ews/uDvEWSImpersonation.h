/// @file
/// The impersonated message store: the store of another mailbox, opened with the session's
/// credentials through EWS impersonation. Every request it makes carries the
/// "t:ExchangeImpersonation" header naming the mailbox, and because folders and items create their
/// requests through their creator, so does every request of the folders and items beneath it.
#pragma once

#include <memory>
#include <string>

#include "uDvEWSMsgStore.h"

namespace dv {

/// The store of another mailbox, reached by impersonation (TDvEWSCustomSession::OpenMsgStore).
class IDvEWSImpersonatedMsgStore : public virtual IDvEWSMsgStore {
 public:
  /// The SMTP address of the impersonated mailbox.
  virtual std::string GetImpersonatedAddress() const = 0;
};
/// A shared impersonated store.
using DvEWSImpersonatedMsgStorePtr = std::shared_ptr<IDvEWSImpersonatedMsgStore>;

/// The impersonated store class (see IDvEWSImpersonatedMsgStore).
class TDvEWSImpersonatedMsgStore : public TDvEWSMsgStore,
                                   public virtual IDvEWSImpersonatedMsgStore {
 public:
  /// smtpAddress names the mailbox and is also the store's name. Create with std::make_shared.
  TDvEWSImpersonatedMsgStore(TDvComponent* owner, const std::string& smtpAddress);

  std::string GetImpersonatedAddress() const override { return FSmtpAddress; }

  /// The base request with the impersonation header: an "ExchangeImpersonation" header the frame
  /// already wrote is emptied and reused, so a request never names two mailboxes.
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>& client,
                                                const std::string& requestName,
                                                const std::string& responseName) override;

 private:
  std::string FSmtpAddress;
};

}  // namespace dv
