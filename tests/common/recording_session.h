// A fixture whose session is logged on to an in-process ewssim as alice and records the requests
// it sends (and, when asked, the successful answers); each is checked against the EWS schema
// before it is forgotten. Header only: the test links dvews and ews_testsupport.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ews_testsupport.h"
#include "uDvEWS.h"

namespace ews_test {

class RecordingSessionTest : public ::testing::Test {
 protected:
  void StartSession(ewssim::Config config, bool validateAnswers = false) {
    sim_ = std::make_unique<SimServer>(std::move(config));
    session_ = std::make_unique<dv::TDvEWSCustomSession>();
    session_->SetPasswordDialog(false);
    session_->SetServiceUrl(sim_->Url());
    session_->SetCredentials(dv::TDvCredentials("alice@example.com", "alice-pw"));
    session_->SetOnSOAPTrace([this, validateAnswers](const dv::TDvSOAPTrace& t) {
      std::lock_guard<std::mutex> g(lock_);
      if (t.Kind == dv::TDvSOAPTrace::TKind::tkRequest) requests_.push_back(t.Content);
      if (validateAnswers && t.Kind == dv::TDvSOAPTrace::TKind::tkResponse && t.StatusCode == 200)
        answers_.push_back(t.Content);
    });
    session_->SetActive(true);
  }

  // Derived fixtures drop what holds the session first, then call this.
  void TearDown() override {
    Clear();
    session_.reset();
    sim_.reset();
  }

  // Validates what was exchanged since the last call, then forgets it.
  void Clear() {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto* list : {&requests_, &answers_})
      for (const std::string& r : *list) {
        auto v = ValidateEnvelope(r);
        EXPECT_TRUE(v.ok) << v.message << "\n" << r;
      }
    requests_.clear();
    answers_.clear();
  }

  // The operation elements' local names of the requests since the last Clear.
  std::vector<std::string> Operations() {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> ops;
    for (const std::string& r : requests_) {
      auto body = dv::DvCreateDOM(r)->SelectSingleElement("/Envelope/Body");
      ops.push_back(body && body->ElementCount() > 0 ? body->GetElement(0)->GetLocalName() : "");
    }
    return ops;
  }

  // Operations(), then Clear().
  std::vector<std::string> TakeOperations() {
    auto ops = Operations();
    Clear();
    return ops;
  }

  // The operation element of the n-th request since the last Clear, or null.
  dv::DvDOMElementPtr Request(std::size_t n) {
    std::lock_guard<std::mutex> g(lock_);
    if (n >= requests_.size()) return nullptr;
    return dv::DvCreateDOM(requests_[n])->SelectSingleElement("/Envelope/Body")->GetElement(0);
  }

  // The operation elements of the requests since the last Clear, as XML text.
  std::vector<std::string> RequestTexts() {
    std::vector<std::string> out;
    for (std::size_t i = 0; auto r = Request(i); ++i)
      out.push_back(r->GetXML());
    return out;
  }

  std::unique_ptr<SimServer> sim_;
  std::unique_ptr<dv::TDvEWSCustomSession> session_;

 private:
  std::mutex lock_;
  std::vector<std::string> requests_, answers_;
};

}  // namespace ews_test
