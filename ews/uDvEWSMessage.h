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

enum class TDvEWSSmartResponseType { srtReply, srtReplyAll, srtForward };

class IDvEWSSmartResponse;
using DvEWSSmartResponsePtr = std::shared_ptr<IDvEWSSmartResponse>;
class IDvEWSEMail;
using DvEWSEMailPtr = std::shared_ptr<IDvEWSEMail>;

class IDvEWSEMail : public virtual IDvEWSItem {
 public:
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
  virtual void SetIsDeliveryReceiptRequested(bool value) = 0;
  virtual void SetIsReadReceiptRequested(bool value) = 0;
  virtual void SetIsRead(bool value) = 0;
  virtual void SubmitMessage(bool saveCopy) = 0;
  virtual DvEWSSmartResponsePtr CreateReply(bool replyAll) = 0;
  virtual DvEWSSmartResponsePtr CreateForward() = 0;
};

class IDvEWSSmartResponse : public virtual IDvEWSItem {
 public:
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
  /// Saves as a draft and gives the draft as a message; gives none after a send.
  virtual DvEWSEMailPtr SaveResponse() = 0;
  /// Sends (always with a copy in Sent Items).
  virtual void SubmitMessage(bool saveCopy) = 0;
};

/// Recipient wrappers over a message element's lists, made on first use and freed on reload.
class TDvEWSRecipientWrappers {
 public:
  DvEWSRecipientsPtr List(TDvXMLSchemaElement& item, const char* name, TServerVersion version);
  DvEWSRecipientPtr Single(TDvXMLSchemaElement& item, const char* name, TServerVersion version);
  void Clear();

 private:
  std::vector<std::pair<std::string, DvEWSRecipientsPtr>> FLists;
  std::vector<std::pair<std::string, DvEWSRecipientPtr>> FSingles;
};

class TDvEWSEMail : public TDvEWSBaseItem<TEwsMessage>, public virtual IDvEWSEMail {
 public:
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

class TDvEWSSmartResponse : public TDvEWSBaseItem<TEwsSmartResponse>,
                            public virtual IDvEWSSmartResponse {
 public:
  /// Create through DvEWSCreateSmartResponse.
  TDvEWSSmartResponse(TDvEWSEMail& email, TDvEWSSmartResponseType type);
  ~TDvEWSSmartResponse() override;

  TItemType GetItemType() override;
  /// Also sets the subject: "RE: " or "FW: " and the message's subject.
  void SetResponseType(TDvEWSSmartResponseType type);
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

DvEWSSmartResponsePtr DvEWSCreateSmartResponse(TDvEWSEMail& email, TDvEWSSmartResponseType type);

}  // namespace dv
