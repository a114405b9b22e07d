// The SOAP client against a loopback server: envelopes sent, responses read, faults raised,
// MIME content split off while it arrives, and the trace hook.
#include <gtest/gtest.h>

#include <thread>

#include "DvSOAP.h"
#include "HttpTestServer.h"

using namespace dv;
using httptest::Server;

namespace {

const char* kMessages = "http://schemas.microsoft.com/exchange/services/2006/messages";
const char* kTypes = "http://schemas.microsoft.com/exchange/services/2006/types";

std::vector<TDvSOAPNamespace> EwsNamespaces() {
  return {{"xsi", DvSOAPNS::XSI}, {"soap", DvSOAPNS::Envelope11}, {"m", kMessages}, {"t", kTypes}};
}

std::string Envelope(const std::string& header, const std::string& body) {
  return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>") +
         "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">" + header +
         "<s:Body>" + body + "</s:Body></s:Envelope>";
}

struct SoapFixture {
  Server srv;
  std::string lastBody, lastContentType, lastAction, lastAnchor;
  TDvSOAPClient soap;

  explicit SoapFixture(std::function<void(const httplib::Request&, httplib::Response&)> h) {
    srv.Http().Post("/ews/exchange.asmx",
                    [this, h](const httplib::Request& req, httplib::Response& res) {
                      lastBody = req.body;
                      lastContentType = req.get_header_value("Content-Type");
                      lastAction = req.get_header_value("SOAPAction");
                      lastAnchor = req.get_header_value("X-AnchorMailbox");
                      h(req, res);
                    });
    srv.Start();
    auto http = std::make_shared<TDvWinHTTPClient>();
    http->GetRequestHeaders().SetAccept("text/xml");
    soap.SetHTTPClient(http);
    soap.InitSOAPEnv(srv.URL("/ews/exchange.asmx"), "soap", EwsNamespaces());
  }
  // The server's threads end before the strings they write go.
  ~SoapFixture() { srv.Stop(); }
};

}  // namespace

TEST(SOAPClient, SendsEnvelopeAndReadsResponse) {
  SoapFixture f([](const httplib::Request&, httplib::Response& res) {
    res.set_content(
        Envelope("<s:Header><h:ServerVersionInfo MajorVersion=\"15\" "
                 "xmlns:h=\"http://schemas.microsoft.com/exchange/services/2006/types\"/>"
                 "</s:Header>",
                 "<m:ConvertIdResponse xmlns:m=\"urn:m\"><m:ResponseMessages/>"
                 "</m:ConvertIdResponse>"),
        "text/xml; charset=utf-8");
  });
  DvSOAPRequestPtr request = f.soap.CreateRequest(std::string(kMessages) + "/ConvertId",
                                                  "m:ConvertId", "m:ConvertIdResponse");
  request->AddHeader("t:RequestServerVersion")->SetAttribute("Version", "Exchange2007_SP1");
  request->GetOperation()->SetAttribute("DestinationFormat", "HexEntryId");
  request->GetOperation()->AddElement("m:SourceIds")->SetAsString("<&>");
  request->SetHTTPHeader("X-AnchorMailbox", "user@example.com");
  DvSOAPResponsePtr response = request->Send();

  EXPECT_EQ(f.lastContentType, "text/xml; charset=utf-8");
  EXPECT_EQ(f.lastAction, "\"" + std::string(kMessages) + "/ConvertId\"");
  EXPECT_EQ(f.lastAnchor, "user@example.com");
  // The envelope: the four declarations in order, the header before the body, text escaped.
  auto sent = DvCreateDOM(f.lastBody);
  auto env = sent->GetDocumentElement();
  EXPECT_EQ(env->GetQualifiedName(), "soap:Envelope");
  ASSERT_EQ(env->AttributeCount(), 4);
  EXPECT_EQ(env->GetAttributes()->GetItem(0).Name, "xmlns:xsi");
  EXPECT_EQ(env->GetAttributes()->GetItem(1).Value, DvSOAPNS::Envelope11);
  EXPECT_EQ(env->GetAttributes()->GetItem(3).Name, "xmlns:t");
  EXPECT_EQ(env->GetElement(0)->GetQualifiedName(), "soap:Header");
  EXPECT_EQ(env->GetElement(1)->GetQualifiedName(), "soap:Body");
  EXPECT_EQ(
      sent->SelectSingleElement("Envelope/Header/RequestServerVersion")->GetAttribute("Version"),
      "Exchange2007_SP1");
  EXPECT_EQ(sent->SelectSingleElement("Envelope/Body/ConvertId/SourceIds")->GetAsString(), "<&>");
  EXPECT_NE(f.lastBody.find("&lt;&amp;&gt;"), std::string::npos);

  EXPECT_TRUE(response->HasHeader());
  EXPECT_EQ(response->GetHeader()->ElementByName("ServerVersionInfo")->GetAttribute("MajorVersion"),
            "15");
  EXPECT_FALSE(response->GetIsFault());
  EXPECT_EQ(response->GetResponse()->GetLocalName(), "ConvertIdResponse");
  EXPECT_TRUE(response->HasArgument("ResponseMessages"));
  EXPECT_FALSE(response->HasArgument("Nothing"));
  EXPECT_THROW(response->GetArgument("Nothing"), Exception);
  EXPECT_EQ(response->GetStatusCode(), 200);
}

TEST(SOAPClient, FaultsAndErrorStatusesRaise) {
  int mode = 0;
  SoapFixture f([&](const httplib::Request&, httplib::Response& res) {
    if (mode == 0) {
      res.status = 500;
      res.set_content(
          Envelope("",
                   "<s:Fault><faultcode xmlns:a=\"urn:a\">a:ErrorSchemaValidation</faultcode>"
                   "<faultstring xml:lang=\"en-US\">The request failed schema validation."
                   "</faultstring><detail><e:ResponseCode xmlns:e=\"urn:e\">"
                   "ErrorSchemaValidation</e:ResponseCode><e:Message xmlns:e=\"urn:e\">"
                   "x</e:Message></detail></s:Fault>"),
          "text/xml");
    } else if (mode == 1) {
      res.status = 503;
      res.set_content("<html>busy</html>", "text/html");
    } else {
      res.set_content("not xml at all", "text/plain");
    }
  });
  auto send = [&] { f.soap.CreateRequest("", "m:GetFolder")->Send(); };
  try {
    send();
    FAIL();
  } catch (const EDvSOAPFaultException& e) {
    EXPECT_EQ(e.GetFaultCode(), "a:ErrorSchemaValidation");
    EXPECT_EQ(e.GetFaultString(), "The request failed schema validation.");
    EXPECT_EQ(e.GetResponseCode(), "ErrorSchemaValidation");
    EXPECT_EQ(e.GetStatusCode(), 500);
    EXPECT_STREQ(e.what(), "The request failed schema validation.");
  }
  mode = 1;
  f.soap.SetRetryPolicy({0, 0, 0});  // a busy answer is given up on at once
  try {
    send();
    FAIL();
  } catch (const EDvSOAPFaultException&) {
    FAIL() << "not a fault";
  } catch (const EDvHTTPException& e) {
    EXPECT_EQ(e.GetStatusCode(), 503);
  }
  mode = 2;
  EXPECT_THROW(send(), EDvXMLException);
}

TEST(SOAPClient, MimeContentSplitOffWhileReceiving) {
  std::string mime;
  for (int i = 0; mime.size() < 2000000; ++i)
    mime += "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=";
  const std::string body =
      "<m:GetItemResponse xmlns:m=\"urn:m\" xmlns:t=\"urn:t\"><m:Items><t:Message>"
      "<t:MimeContent CharacterSet=\"UTF-8\" Note=\"a>b\">" +
      mime +
      "</t:MimeContent><t:Subject>Hello</t:Subject></t:Message></m:Items>"
      "</m:GetItemResponse>";
  SoapFixture f([&](const httplib::Request&, httplib::Response& res) {
    res.set_content(Envelope("", body), "text/xml");
  });
  DvBinResponsePtr response = f.soap.CreateRequest("", "m:GetItem")->SendBin();
  EXPECT_TRUE(response->HasMimeContent());
  EXPECT_EQ(response->GetMimeContentText(), mime);
  EXPECT_LT(response->GetEnvelopeText().size(), 1000u);
  auto message = response->GetResponse()->SelectSingleElement("Items/Message");
  EXPECT_EQ(message->ElementByName("Subject")->GetAsString(), "Hello");
  EXPECT_EQ(message->ElementByName("MimeContent")->GetAttribute("CharacterSet"), "UTF-8");
  EXPECT_EQ(message->ElementByName("MimeContent")->GetAsString(), "");

  // Byte by byte, every tag split across calls, comes out the same.
  TDvBinResponse split;
  std::string whole = Envelope("", "<r><MimeContent a='x>y'>TUlNRQ==</MimeContent><b/></r>");
  for (char c : whole)
    split.Feed(&c, 1);
  split.Finish();
  EXPECT_EQ(split.GetMimeContentText(), "TUlNRQ==");
  EXPECT_TRUE(split.GetResponse()->HasChildElement("b"));
  std::istringstream in(whole);
  EXPECT_EQ(TDvBinResponse(in).GetMimeContentText(), "TUlNRQ==");
}

TEST(SOAPClient, TraceSeesEveryExchangeWithSecretsMasked) {
  SoapFixture f([](const httplib::Request&, httplib::Response& res) {
    res.set_content(Envelope("", "<r><AccessToken>server-token</AccessToken><ok/></r>"),
                    "text/xml");
  });
  std::vector<TDvSOAPTrace> traces;
  f.soap.SetOnTrace([&](const TDvSOAPTrace& t) { traces.push_back(t); });
  auto request = f.soap.CreateRequest("", "m:Logon");
  request->GetOperation()->AddElement("t:Password")->SetAsString("hunter2");
  request->GetOperation()->AddElement("t:ClientSecret")->SetAsString("s3cret");
  request->GetOperation()->AddElement("t:UserName")->SetAsString("alice");
  request->Send();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0].Kind, TDvSOAPTrace::TKind::tkRequest);
  EXPECT_EQ(traces[0].URL, f.srv.URL("/ews/exchange.asmx"));
  EXPECT_EQ(traces[0].Content.find("hunter2"), std::string::npos);
  EXPECT_EQ(traces[0].Content.find("s3cret"), std::string::npos);
  EXPECT_NE(traces[0].Content.find("<t:Password>********</t:Password>"), std::string::npos);
  EXPECT_NE(traces[0].Content.find("alice"), std::string::npos);
  EXPECT_EQ(traces[1].Kind, TDvSOAPTrace::TKind::tkResponse);
  EXPECT_EQ(traces[1].StatusCode, 200);
  EXPECT_EQ(traces[1].Content.find("server-token"), std::string::npos);
  EXPECT_NE(traces[1].Content.find("<ok/>"), std::string::npos);
  // The request itself still carries the real values.
  EXPECT_NE(f.lastBody.find("hunter2"), std::string::npos);
}

TEST(SOAPClient, AbortEndsAPendingSend) {
  Server* server = nullptr;
  SoapFixture f([&](const httplib::Request&, httplib::Response& res) {
    server->Wait(10000);
    res.set_content(Envelope("", "<r/>"), "text/xml");
  });
  server = &f.srv;
  auto request = f.soap.CreateRequest("", "m:GetStreamingEvents");
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    request->Abort();
  });
  try {
    request->Send();
    FAIL();
  } catch (const EDvHTTPApiException& e) {
    EXPECT_EQ(e.GetErrorCode(), DvHTTPError::InvalidHandle);
  }
  t.join();
}
