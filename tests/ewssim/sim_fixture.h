// Shared fixture of the ewssim tests: one in-process server per suite, SOAP calls as a chosen
// user, and schema validation of every response received.
#pragma once

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ews_testsupport.h"

namespace simtest {

inline const char* kHeader = "<t:RequestServerVersion Version=\"Exchange2013_SP1\"/>";

inline std::vector<pugi::xml_node> All(const pugi::xml_node& n, const std::string& local) {
  std::vector<pugi::xml_node> out;
  for (auto x : n.select_nodes((".//*[local-name()='" + local + "']").c_str()))
    out.push_back(x.node());
  return out;
}

inline pugi::xml_node First(const pugi::xml_node& n, const std::string& local) {
  auto all = All(n, local);
  return all.empty() ? pugi::xml_node() : all.front();
}

inline std::string TextOf(const pugi::xml_node& n, const std::string& local) {
  return First(n, local).text().as_string();
}

struct Reply {
  ews_test::HttpReply http;
  std::shared_ptr<pugi::xml_document> doc = std::make_shared<pugi::xml_document>();
  pugi::xml_node root() const { return doc->document_element(); }
  std::vector<pugi::xml_node> Messages() const {
    std::vector<pugi::xml_node> out;
    for (auto m : All(root(), "ResponseMessages"))
      for (auto c : m.children())
        if (c.type() == pugi::node_element) out.push_back(c);
    return out;
  }
  std::string Class(size_t i = 0) const {
    auto m = Messages();
    return i < m.size() ? m[i].attribute("ResponseClass").value() : "";
  }
  std::string Code(size_t i = 0) const {
    auto m = Messages();
    return i < m.size() ? TextOf(m[i], "ResponseCode") : "";
  }
  std::string FaultCode() const { return TextOf(root(), "faultcode"); }
};

// Request snippets.
inline std::string Mailbox(const std::string& address) {
  return "<t:Mailbox><t:EmailAddress>" + address + "</t:EmailAddress></t:Mailbox>";
}
inline std::string Dist(const std::string& id, const std::string& mailbox = "") {
  return "<t:DistinguishedFolderId Id=\"" + id + "\">" + (mailbox.empty() ? "" : Mailbox(mailbox)) +
         "</t:DistinguishedFolderId>";
}
inline std::string ItemIdXml(const pugi::xml_node& itemId) {
  return std::string("<t:ItemId Id=\"") + itemId.attribute("Id").value() + "\" ChangeKey=\"" +
         itemId.attribute("ChangeKey").value() + "\"/>";
}

class SimTest : public ::testing::Test {
 protected:
  static ewssim::Config SuiteConfig() { return ews_test::DefaultSimConfig(); }

  static std::unique_ptr<ews_test::SimServer>& Sim() {
    static std::unique_ptr<ews_test::SimServer> sim;
    return sim;
  }
  static void SetUpTestSuite() { Sim() = std::make_unique<ews_test::SimServer>(SuiteConfig()); }
  static void TearDownTestSuite() {
    Clients().clear();  // close the connections first so the server stops at once
    Sim().reset();
  }
  static std::map<std::string, std::unique_ptr<ews_test::SoapClient>>& Clients() {
    static std::map<std::string, std::unique_ptr<ews_test::SoapClient>> clients;
    return clients;
  }

  static std::string Password(const std::string& user) {
    return user.substr(0, user.find('@')) + "-pw";
  }

  // Posts a raw envelope; validates and parses the response.
  static Reply PostRaw(const std::string& envelope, const std::string& user = "alice@example.com",
                       const std::multimap<std::string, std::string>& headers = {}) {
    // One keep-alive connection per server and user.
    auto& client = Clients()[user];
    if (!client)
      client = std::make_unique<ews_test::SoapClient>(Sim()->Url(), user, Password(user));
    Reply r;
    r.http = client->Post(envelope, headers);
    Check(r);
    return r;
  }

  static void Check(Reply& r) {
    if (r.http.status == 200 || r.http.status == 500) {
      auto v = ews_test::ValidateEnvelope(r.http.body);
      EXPECT_TRUE(v.ok) << "response does not validate: " << v.message << "\n"
                        << r.http.body.substr(0, 3000);
      r.doc->load_string(r.http.body.c_str());
    }
  }

  static Reply Call(const std::string& body, const std::string& user = "alice@example.com",
                    const std::string& header = kHeader) {
    return PostRaw(ews_test::Envelope(body, header), user);
  }

  // Creates an item in a distinguished folder; returns its t:ItemId.
  static std::string Create(const std::string& item, const std::string& folder,
                            const std::string& attributes = "MessageDisposition=\"SaveOnly\"") {
    auto r = Call("<m:CreateItem " + attributes + "><m:SavedItemFolderId>" + Dist(folder) +
                  "</m:SavedItemFolderId><m:Items>" + item + "</m:Items></m:CreateItem>");
    EXPECT_EQ(r.Class(), "Success") << r.http.body;
    return ItemIdXml(First(r.root(), "ItemId"));
  }

  static Reply GetItem(const std::string& id, const std::string& shape = "AllProperties",
                       const std::string& extra = "",
                       const std::string& user = "alice@example.com") {
    return Call("<m:GetItem><m:ItemShape><t:BaseShape>" + shape + "</t:BaseShape>" + extra +
                    "</m:ItemShape><m:ItemIds>" + id + "</m:ItemIds></m:GetItem>",
                user);
  }

  static Reply GetFolder(const std::string& ids, const std::string& shape = "Default",
                         const std::string& user = "alice@example.com") {
    return Call("<m:GetFolder><m:FolderShape><t:BaseShape>" + shape +
                    "</t:BaseShape></m:FolderShape><m:FolderIds>" + ids +
                    "</m:FolderIds></m:GetFolder>",
                user);
  }

  // Creates a folder under `parent` (a folder id element); returns the new t:FolderId.
  static std::string CreateFolder(const std::string& parent, const std::string& name) {
    auto r = Call("<m:CreateFolder><m:ParentFolderId>" + parent +
                  "</m:ParentFolderId><m:Folders><t:Folder><t:DisplayName>" + name +
                  "</t:DisplayName></t:Folder></m:Folders></m:CreateFolder>");
    EXPECT_EQ(r.Class(), "Success") << r.http.body;
    return std::string("<t:FolderId Id=\"") + First(r.root(), "FolderId").attribute("Id").value() +
           "\"/>";
  }
};

}  // namespace simtest
