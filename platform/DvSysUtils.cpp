#include "DvSysUtils.h"

#include <algorithm>
#include <cmath>

namespace dv {

namespace {

// Days between 1899-12-30 and 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;
constexpr std::int64_t kMsPerDay = 86400000;

// Civil-calendar conversions (proleptic Gregorian), counted from 1970-01-01.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

TDateTime TDateTime::Encode(int year, int month, int day, int hour, int minute, int second,
                            int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 24 || minute < 0 || minute > 59 ||
      second < 0 || second > 60 || millisecond < 0 || millisecond > 999) {
    throw EConvertError("Invalid argument to date encode");
  }
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const std::int64_t ms =
      days * kMsPerDay + ((hour * 60LL + minute) * 60LL + second) * 1000LL + millisecond;
  return FromUnixMilliseconds(ms);
}

void TDateTime::Decode(int& year, int& month, int& day, int& hour, int& minute, int& second,
                       int& millisecond) const {
  const std::int64_t ms = ToUnixMilliseconds();
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --days;
  }
  CivilFromDays(days, year, month, day);
  hour = static_cast<int>(rest / 3600000);
  minute = static_cast<int>(rest / 60000 % 60);
  second = static_cast<int>(rest / 1000 % 60);
  millisecond = static_cast<int>(rest % 1000);
}

TDateTime TDateTime::FromUnixMilliseconds(std::int64_t ms) {
  return TDateTime(kUnixEpochDays + static_cast<double>(ms) / static_cast<double>(kMsPerDay));
}

std::int64_t TDateTime::ToUnixMilliseconds() const {
  return std::llround((Value - kUnixEpochDays) * static_cast<double>(kMsPerDay));
}

TDateTime TDateTime::FromTimePoint(std::chrono::system_clock::time_point tp) {
  return FromUnixMilliseconds(
      std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count());
}

std::chrono::system_clock::time_point TDateTime::ToTimePoint() const {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ToUnixMilliseconds()));
}

TDateTime TDateTime::NowUTC() {
  return FromTimePoint(std::chrono::system_clock::now());
}

TDvComponent::TDvComponent(TDvComponent* owner) : owner_(owner) {
  if (owner_) owner_->InsertOwned(this);
}

TDvComponent::~TDvComponent() {
  // Tell everyone who asked, then forget them (copy: handlers may unregister themselves).
  const auto notify = notify_;
  for (TDvComponent* c : notify) {
    c->Notification(this, TOperation::opRemove);
    c->RemoveFreeNotification(this);
  }
  // Destroy owned components, last created first.
  while (!owned_.empty()) {
    TDvComponent* c = owned_.back();
    owned_.pop_back();
    c->owner_ = nullptr;
    delete c;
  }
  if (owner_) owner_->RemoveOwned(this);
}

void TDvComponent::FreeNotification(TDvComponent* other) {
  if (!other || other == this) return;
  if (std::find(other->notify_.begin(), other->notify_.end(), this) == other->notify_.end()) {
    other->notify_.push_back(this);
  }
  // Both directions, so that whichever goes first the other stops pointing at it.
  if (std::find(notify_.begin(), notify_.end(), other) == notify_.end()) {
    notify_.push_back(other);
  }
}

void TDvComponent::RemoveFreeNotification(TDvComponent* other) {
  if (!other) return;
  std::erase(other->notify_, this);
  std::erase(notify_, other);
}

void TDvComponent::Notification(TDvComponent* component, TOperation operation) {
  (void)component;
  (void)operation;
}

void TDvComponent::InsertOwned(TDvComponent* c) {
  owned_.push_back(c);
}

void TDvComponent::RemoveOwned(TDvComponent* c) {
  std::erase(owned_, c);
}

}  // namespace dv
