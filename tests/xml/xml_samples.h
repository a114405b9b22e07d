// Sample documents shaped like the responses and files the library reads.
#pragma once

#define EWS_SOAP_OPEN                                                       \
  "<?xml version=\"1.0\" encoding=\"utf-8\"?>"                              \
  "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"      \
  "<s:Header><h:ServerVersionInfo MajorVersion=\"15\" MinorVersion=\"20\" " \
  "xmlns:h=\"http://schemas.microsoft.com/exchange/services/2006/types\"/>" \
  "</s:Header>"                                                             \
  "<s:Body xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "        \
  "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\">"
#define EWS_SOAP_CLOSE "</s:Body></s:Envelope>"
#define EWS_NS                                                                \
  " xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\"" \
  " xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\""

namespace samples {

inline constexpr const char* kAutodiscover =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<Autodiscover xmlns=\"http://schemas.microsoft.com/exchange/autodiscover/responseschema/"
    "2006\">"
    "<Response xmlns=\"http://schemas.microsoft.com/exchange/autodiscover/outlook/"
    "responseschema/2006a\">"
    "<User><DisplayName>Ann Example</DisplayName></User>"
    "<Account><AccountType>email</AccountType>"
    "<Protocol><Type>EXCH</Type><EwsUrl>https://internal.example.com/EWS/Exchange.asmx</EwsUrl>"
    "</Protocol>"
    "<Protocol><Type>EXPR</Type><EwsUrl>https://mail.example.com/EWS/Exchange.asmx</EwsUrl>"
    "</Protocol>"
    "<AlternativeMailbox><Type>Archive</Type><DisplayName>Archive</DisplayName>"
    "<SmtpAddress>archive@example.com</SmtpAddress></AlternativeMailbox>"
    "<AlternativeMailbox><Type>Delegate</Type><DisplayName>Boss</DisplayName>"
    "<SmtpAddress>boss-legacy@example.com</SmtpAddress>"
    "<OwnerSmtpAddress>boss@example.com</OwnerSmtpAddress></AlternativeMailbox>"
    "<AlternativeMailbox><Type>Delegate</Type><DisplayName>Team</DisplayName>"
    "<SmtpAddress>team@example.com</SmtpAddress></AlternativeMailbox>"
    "</Account></Response></Autodiscover>";

inline constexpr const char* kAutodiscoverError =
    "<Autodiscover xmlns=\"http://schemas.microsoft.com/exchange/autodiscover/responseschema/"
    "2006\"><Response><Error Time=\"10:00:00\" Id=\"1\"><ErrorCode>500</ErrorCode>"
    "<Message>The e-mail address cannot be found.</Message></Error></Response></Autodiscover>";

inline constexpr const char* kTimeZones =
    EWS_SOAP_OPEN "<m:GetServerTimeZonesResponse" EWS_NS
                  "><m:ResponseMessages>"
                  "<m:GetServerTimeZonesResponseMessage ResponseClass=\"Success\">"
                  "<m:ResponseCode>NoError</m:ResponseCode><m:TimeZoneDefinitions>"
                  "<t:TimeZoneDefinition Id=\"Dateline Standard Time\" "
                  "Name=\"(UTC-12:00) International Date Line West\"/>"
                  "<t:TimeZoneDefinition Id=\"W. Europe Standard Time\" "
                  "Name=\"(UTC+01:00) Amsterdam, Berlin, Bern, Rome\"/>"
                  "<t:TimeZoneDefinition Id=\"Romance Standard Time\" "
                  "Name=\"(UTC+01:00) Brussels, Copenhagen, Madrid, Paris\"/>"
                  "</m:TimeZoneDefinitions></m:GetServerTimeZonesResponseMessage>"
                  "</m:ResponseMessages></m:GetServerTimeZonesResponse>" EWS_SOAP_CLOSE;

inline constexpr const char* kProfiles =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<Profiles Default=\"Work\" PromptForProfile=\"false\">"
    "<Profile name=\"Home\"><ServiceUrl>https://home.example.com/EWS/Exchange.asmx</ServiceUrl>"
    "</Profile>"
    "<Profile name=\"Work\"><ServiceUrl>https://mail.example.com/EWS/Exchange.asmx</ServiceUrl>"
    "<AdditionalMailboxes><Mailbox><PrimarySMTPAddress>a@example.com</PrimarySMTPAddress>"
    "</Mailbox><Mailbox><PrimarySMTPAddress>b@example.com</PrimarySMTPAddress></Mailbox>"
    "</AdditionalMailboxes></Profile></Profiles>";

inline constexpr const char* kResolveNames = EWS_SOAP_OPEN
    "<m:ResolveNamesResponse" EWS_NS
    "><m:ResponseMessages>"
    "<m:ResolveNamesResponseMessage ResponseClass=\"Warning\">"
    "<m:MessageText>Multiple results were found.</m:MessageText>"
    "<m:ResponseCode>ErrorNameResolutionMultipleResults</m:ResponseCode>"
    "<m:ResolutionSet TotalItemsInView=\"3\" IncludesLastItemInRange=\"true\">"
    "<t:Resolution><t:Mailbox><t:Name>Ann Directory</t:Name>"
    "<t:EmailAddress>ann@example.com</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType>"
    "<t:MailboxType>Mailbox</t:MailboxType></t:Mailbox></t:Resolution>"
    "<t:Resolution><t:Mailbox><t:Name>Ann Contact</t:Name>"
    "<t:EmailAddress>ann.private@example.org</t:EmailAddress>"
    "<t:RoutingType>SMTP</t:RoutingType><t:MailboxType>Contact</t:MailboxType>"
    "<t:ItemId Id=\"AAMkContact1\" ChangeKey=\"EQAAAA\"/></t:Mailbox></t:Resolution>"
    "<t:Resolution><t:Mailbox><t:Name>Ann Group</t:Name>"
    "<t:EmailAddress>ann-group@example.com</t:EmailAddress>"
    "<t:MailboxType>PublicDL</t:MailboxType></t:Mailbox></t:Resolution>"
    "</m:ResolutionSet></m:ResolveNamesResponseMessage></m:ResponseMessages>"
    "</m:ResolveNamesResponse>" EWS_SOAP_CLOSE;

inline constexpr const char* kContactItem =
    "<t:Contact xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
    "<t:ItemId Id=\"AAMkC1\" ChangeKey=\"EQAAAB\"/>"
    "<t:Subject>Ann Example</t:Subject>"
    "<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x37\" PropertyType=\"String\"/>"
    "<t:Value>tag 0x37</t:Value></t:ExtendedProperty>"
    "<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x0E1C\" PropertyType=\"Binary\"/>"
    "<t:Value>AQID</t:Value></t:ExtendedProperty>"
    "<t:ExtendedProperty><t:ExtendedFieldURI PropertySetId=\"00062008-0000-0000-c000-"
    "000000000046\" PropertyId=\"34051\" PropertyType=\"Boolean\"/>"
    "<t:Value>true</t:Value></t:ExtendedProperty>"
    "<t:ExtendedProperty><t:ExtendedFieldURI PropertySetId=\"00062008-0000-0000-c000-"
    "000000000046\" PropertyId=\"34049\" PropertyType=\"Integer\"/>"
    "<t:Value>15</t:Value></t:ExtendedProperty>"
    "<t:ExtendedProperty><t:ExtendedFieldURI DistinguishedPropertySetId=\"PublicStrings\" "
    "PropertyName=\"MyFlag\" PropertyType=\"String\"/>"
    "<t:Value>named</t:Value></t:ExtendedProperty>"
    "<t:CompleteName><t:Title>Dr.</t:Title><t:FirstName>Ann</t:FirstName></t:CompleteName>"
    "<t:EmailAddresses><t:Entry Key=\"EmailAddress1\">ann@example.com</t:Entry>"
    "<t:Entry Key=\"EmailAddress2\">ann@example.org</t:Entry></t:EmailAddresses>"
    "<t:PhysicalAddresses><t:Entry Key=\"Business\"><t:Street>1 Main St</t:Street>"
    "<t:City>Springfield</t:City></t:Entry></t:PhysicalAddresses>"
    "<t:ToRecipients><t:Mailbox><t:Name>To One</t:Name></t:Mailbox>"
    "<t:Mailbox><t:Name>To Two</t:Name></t:Mailbox></t:ToRecipients>"
    "</t:Contact>";

}  // namespace samples
