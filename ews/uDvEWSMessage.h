/// @file
/// Mail messages and smart responses. TDvEWSEMail adds to the generic item its recipient lists,
/// the receipt flags, the draft MIME marker, saving as a draft and sending. TDvEWSSmartResponse is
/// a reply, reply-all or forward of a message: created over it, saved as a draft (handed back as a
/// message) or sent.
#pragma once

#include <memory>
#include <string>

#include "uDvEWSItem.h"

namespace dv {

/// What a smart response is: a reply to the sender, a reply to all, or a forward.
enum class TDvEWSSmartResponseType { srtReply, srtReplyAll, srtForward };

class IDvEWSSmartResponse;
/// A shared reply or forward.
using DvEWSSmartResponsePtr = std::shared_ptr<IDvEWSSmartResponse>;
class IDvEWSEMail;
/// A shared mail message.
using DvEWSEMailPtr = std::shared_ptr<IDvEWSEMail>;

/// A mail message: its recipients, sender, receipt flags and read state; sending, replying and
/// forwarding.
///
/// Create one with IDvEWSFolder::CreateItem(TItemType::tMessage) (in Drafts, usually) and cast
/// the result; a loaded message (IDvEWSMsgStore::GetItem) of kind Message casts too. Recipient
/// lists are edited in place (GetToRecipients()->Add("bob@example.com")).
class IDvEWSEMail : public virtual IDvEWSItem {
 public:
  /// @name Message properties
  /**@{*/
  /// A message property, read from the loaded data (fetched once when the load left it out);
  /// the recipient lists and recipients are live views of the message's data.
  virtual DvEWSRecipientPtr GetSender() = 0;
  virtual DvEWSRecipientsPtr GetToRecipients() = 0;
  virtual DvEWSRecipientsPtr GetCcRecipients() = 0;
  virtual DvEWSRecipientsPtr GetBccRecipients() = 0;
  virtual bool GetIsDeliveryReceiptRequested() = 0;
  virtual bool GetIsReadReceiptRequested() = 0;
  virtual TBytes GetConversationIndex() = 0;
  virtual std::string GetConversationTopic() = 0;
  virtual DvEWSRecipientPtr GetFrom() = 0;
  virtual std::string GetInternetMessageId() = 0;
  virtual bool GetIsRead() = 0;
  virtual bool GetIsResponseRequested() = 0;
  virtual std::string GetReferences() = 0;
  virtual DvEWSRecipientsPtr GetReplyTo() = 0;
  virtual DvEWSRecipientPtr GetReceivedBy() = 0;
  virtual DvEWSRecipientPtr GetReceivedRepresenting() = 0;
  virtual TEwsApprovalRequestData* GetApprovalRequestData() = 0;
  virtual TEwsVotingInformation* GetVotingInformation() = 0;
  virtual TEwsReminderMessageData* GetReminderMessageData() = 0;
  virtual TEwsSmtpAddress* GetSenderSMTPAddress() = 0;
  virtual TEwsMessage_MailboxGuids* GetMailboxGuids() = 0;
  /// Asks for a delivery receipt when the message is sent.
  virtual void SetIsDeliveryReceiptRequested(bool value) = 0;
  /// Asks for a read receipt when the message is sent.
  virtual void SetIsReadReceiptRequested(bool value) = 0;
  /// Marks the message read or unread (sent by SaveChanges).
  virtual void SetIsRead(bool value) = 0;
  ///@}
  /// Sends the message; with `saveCopy` a copy stays in Sent Items. A new message without
  /// attachments is created and sent with one request; one with attachments (or on a server
  /// older than Exchange 2013 SP1) is saved first, then sent. Raises dv::Exception when the
  /// message was already submitted, dv::EEWSException when the server refuses.
  virtual void SubmitMessage(bool saveCopy) = 0;
  /// A reply to the sender (or, with `replyAll`, to every recipient), not yet saved or sent.
  /// Its subject is "RE: " and the message's; the text set on it goes above the quoted original.
  virtual DvEWSSmartResponsePtr CreateReply(bool replyAll) = 0;
  /// A forward of the message, not yet saved or sent; add its recipients, then SubmitMessage.
  virtual DvEWSSmartResponsePtr CreateForward() = 0;
};

/// A reply, reply-all or forward of a message, made by IDvEWSEMail::CreateReply or
/// CreateForward. Set recipients and body text, then SubmitMessage (or SaveResponse for a draft).
class IDvEWSSmartResponse : public virtual IDvEWSItem {
 public:
  /// @name Response properties
  /**@{*/
  /// A property of the response, as for a message.
  virtual DvEWSRecipientsPtr GetToRecipients() = 0;
  virtual DvEWSRecipientsPtr GetCcRecipients() = 0;
  virtual DvEWSRecipientsPtr GetBccRecipients() = 0;
  virtual bool GetIsReadReceiptRequested() = 0;
  virtual bool GetIsDeliveryReceiptRequested() = 0;
  virtual DvEWSRecipientPtr GetFrom() = 0;
  virtual TItemId GetReferenceItemId() = 0;
  virtual TEwsBody* GetNewBodyContent() = 0;
  virtual DvEWSRecipientPtr GetReceivedBy() = 0;
  virtual DvEWSRecipientPtr GetReceivedRepresenting() = 0;
  virtual void SetIsReadReceiptRequested(bool value) = 0;
  virtual void SetIsDeliveryReceiptRequested(bool value) = 0;
  ///@}
  /// Saves as a draft and gives the draft as a message; gives none after a send.
  virtual DvEWSEMailPtr SaveResponse() = 0;
  /// Sends (always with a copy in Sent Items).
  virtual void SubmitMessage(bool saveCopy) = 0;
};

/// Recipient wrappers over a message element's lists, made on first use and freed on reload.
/// @cond internal
class TDvEWSRecipientWrappers {
 public:
  DvEWSRecipientsPtr List(TDvXMLSchemaElement& item, const char* name, TServerVersion version);
  DvEWSRecipientPtr Single(TDvXMLSchemaElement& item, const char* name, TServerVersion version);
  void Clear();

 private:
  std::vector<std::pair<std::string, DvEWSRecipientsPtr>> FLists;
  std::vector<std::pair<std::string, DvEWSRecipientPtr>> FSingles;
};
/// @endcond

/// The mail message class (see IDvEWSEMail); folders and stores create it.
class TDvEWSEMail : public TDvEWSBaseItem<TEwsMessage>, public virtual IDvEWSEMail {
 public:
  /// A message object; call Init next (DvEWSNewItem does both).
  explicit TDvEWSEMail(TDvComponent* owner);
  ~TDvEWSEMail() override;

  TItemType GetItemType() override { return TItemType::tMessage; }

  DvEWSRecipientPtr GetSender() override;
  DvEWSRecipientsPtr GetToRecipients() override;
  DvEWSRecipientsPtr GetCcRecipients() override;
  DvEWSRecipientsPtr GetBccRecipients() override;
  DvEWSRecipientPtr GetFrom() override;
  DvEWSRecipientsPtr GetReplyTo() override;
  DvEWSRecipientPtr GetReceivedBy() override;
  DvEWSRecipientPtr GetReceivedRepresenting() override;
  bool GetIsDeliveryReceiptRequested() override;
  bool GetIsReadReceiptRequested() override;
  TBytes GetConversationIndex() override;
  std::string GetConversationTopic() override;
  std::string GetInternetMessageId() override;
  bool GetIsRead() override;
  bool GetIsResponseRequested() override;
  std::string GetReferences() override;
  TEwsApprovalRequestData* GetApprovalRequestData() override;
  TEwsVotingInformation* GetVotingInformation() override;
  TEwsReminderMessageData* GetReminderMessageData() override;
  TEwsSmtpAddress* GetSenderSMTPAddress() override;
  TEwsMessage_MailboxGuids* GetMailboxGuids() override;
  void SetIsDeliveryReceiptRequested(bool value) override;
  void SetIsReadReceiptRequested(bool value) override;
  void SetIsRead(bool value) override;
  /// For a draft, the content with "X-Unsent: 1" as its first header line.
  TEwsMimeContent* GetMimeContent() override;

  void SaveChanges(TDvEWSSaveOption option) override;
  void SubmitMessage(bool saveCopy) override;
  DvEWSSmartResponsePtr CreateReply(bool replyAll) override;
  DvEWSSmartResponsePtr CreateForward() override;

 protected:
  void FreeWrappers() override;

 private:
  TDvEWSRecipientWrappers FRecipients;
};

/// The reply and forward class (see IDvEWSSmartResponse).
class TDvEWSSmartResponse : public TDvEWSBaseItem<TEwsSmartResponse>,
                            public virtual IDvEWSSmartResponse {
 public:
  /// Create through DvEWSCreateSmartResponse.
  TDvEWSSmartResponse(TDvEWSEMail& email, TDvEWSSmartResponseType type);
  ~TDvEWSSmartResponse() override;

  TItemType GetItemType() override;
  /// Also sets the subject: "RE: " or "FW: " and the message's subject.
  void SetResponseType(TDvEWSSmartResponseType type);
  /// Reply, reply-all or forward.
  TDvEWSSmartResponseType GetResponseType() const { return FType; }

  DvEWSRecipientsPtr GetToRecipients() override;
  DvEWSRecipientsPtr GetCcRecipients() override;
  DvEWSRecipientsPtr GetBccRecipients() override;
  DvEWSRecipientPtr GetFrom() override;
  DvEWSRecipientPtr GetReceivedBy() override;
  DvEWSRecipientPtr GetReceivedRepresenting() override;
  bool GetIsReadReceiptRequested() override;
  bool GetIsDeliveryReceiptRequested() override;
  void SetIsReadReceiptRequested(bool value) override;
  void SetIsDeliveryReceiptRequested(bool value) override;
  TItemId GetReferenceItemId() override;
  TEwsBody* GetNewBodyContent() override;

  /// The save always resolves conflicts automatically.
  void SaveChanges(TDvEWSSaveOption option) override;
  DvEWSEMailPtr SaveResponse() override;
  void SubmitMessage(bool saveCopy) override;

 protected:
  void BeforeSaveChanges(const DvSOAPRequestPtr& request) override;
  void FreeWrappers() override;

 private:
  TDvEWSSmartResponseType FType;
  bool FSubmit = false;
  TDvEWSEMail* FEMail;
  TDvEWSRecipientWrappers FRecipients;
};

/// A new reply or forward of `email`, with its subject set.
DvEWSSmartResponsePtr DvEWSCreateSmartResponse(TDvEWSEMail& email, TDvEWSSmartResponseType type);

}  // namespace dv
