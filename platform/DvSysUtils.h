/// @file
/// Core types shared by every layer: the exception base, date-times, sets, variants and the
/// owner/free-notification component base.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace dv {

/// Base of every exception the library raises. Misuse raises it directly with an English message
/// ("You must logon first!"); subsystems derive their own classes from it.
class Exception : public std::runtime_error {
 public:
  /// An exception with that message.
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  /// The message (what()).
  std::string Message() const { return what(); }
};

/// Raised for a list or array index outside its bounds ("Invalid Schema Index", …).
class EListError : public Exception {
 public:
  /// As Exception.
  using Exception::Exception;
};

/// Raised when text cannot be converted to the requested type.
class EConvertError : public Exception {
 public:
  /// As Exception.
  using Exception::Exception;
};

/// A byte array.
using TBytes = std::vector<std::uint8_t>;

/// A point in time, in UTC, as a count of days since 1899-12-30 00:00 with the time of day as
/// the fraction. Zero is the "no date" value. Whole-day arithmetic works on Value directly.
struct TDateTime {
  /// Days since 1899-12-30 00:00 UTC, the time of day as the fraction.
  double Value = 0.0;

  constexpr TDateTime() = default;
  /// A date-time of that many days.
  constexpr explicit TDateTime(double days) : Value(days) {}

  /// True for the "no date" value.
  bool IsZero() const { return Value == 0.0; }

  /// Builds a date-time from calendar fields (UTC). Throws EConvertError when a field is out of
  /// range.
  static TDateTime Encode(int year, int month, int day, int hour = 0, int minute = 0,
                          int second = 0, int millisecond = 0);
  /// Splits into calendar fields (UTC).
  void Decode(int& year, int& month, int& day, int& hour, int& minute, int& second,
              int& millisecond) const;

  /// @name Conversions
  /**@{*/
  /// To and from milliseconds since 1970-01-01 UTC and std::chrono time points; NowUTC is the
  /// current time.
  static TDateTime FromUnixMilliseconds(std::int64_t ms);
  std::int64_t ToUnixMilliseconds() const;
  static TDateTime FromTimePoint(std::chrono::system_clock::time_point tp);
  std::chrono::system_clock::time_point ToTimePoint() const;
  static TDateTime NowUTC();
  ///@}

  /**@{*/
  /// The date-time that many seconds, minutes or days later (negative: earlier).
  TDateTime AddSeconds(double seconds) const { return TDateTime(Value + seconds / 86400.0); }
  TDateTime AddMinutes(double minutes) const { return TDateTime(Value + minutes / 1440.0); }
  TDateTime AddDays(double days) const { return TDateTime(Value + days); }
  ///@}

  /**@{*/
  /// Compared by Value.
  friend auto operator<=>(const TDateTime&, const TDateTime&) = default;
  friend bool operator==(const TDateTime&, const TDateTime&) = default;
  ///@}
};

/// A set of enumeration values (the enumeration's underlying values must be below 64).
template <typename E>
class TSet {
  static_assert(std::is_enum_v<E>);

 public:
  constexpr TSet() = default;
  /// A set of those values.
  constexpr TSet(std::initializer_list<E> values) {
    for (E v : values)
      Include(v);
  }
  /// The set whose bit n stands for value n.
  static constexpr TSet FromBits(std::uint64_t bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }

  /// Adds a value.
  constexpr TSet& Include(E v) {
    bits_ |= Bit(v);
    return *this;
  }
  /// Removes a value.
  constexpr TSet& Exclude(E v) {
    bits_ &= ~Bit(v);
    return *this;
  }
  /// True when the value is in the set.
  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  /// True for the empty set.
  constexpr bool Empty() const { return bits_ == 0; }
  /// Bit n set for each value n in the set.
  constexpr std::uint64_t Bits() const { return bits_; }

  /// Union.
  constexpr TSet operator|(TSet o) const { return FromBits(bits_ | o.bits_); }
  /// Intersection.
  constexpr TSet operator&(TSet o) const { return FromBits(bits_ & o.bits_); }
  /// Difference.
  constexpr TSet operator-(TSet o) const { return FromBits(bits_ & ~o.bits_); }
  /// Same values.
  constexpr bool operator==(const TSet&) const = default;

 private:
  static constexpr std::uint64_t Bit(E v) {
    return std::uint64_t{1} << static_cast<std::uint64_t>(v);
  }
  std::uint64_t bits_ = 0;
};

/// A variant value: Null (monostate), boolean, 32/64-bit integers, double, text, date-time,
/// bytes, or a list of texts.
using TDvVariant = std::variant<std::monostate, bool, std::int32_t, std::int64_t, double,
                                std::string, TDateTime, TBytes, std::vector<std::string>>;

/// True for the Null variant.
inline bool VarIsNull(const TDvVariant& v) {
  return std::holds_alternative<std::monostate>(v);
}

/// Base of components that have an owner and are told when a component they refer to goes away
/// (free notification). A component deletes the components it owns when it is destroyed.
class TDvComponent {
 public:
  /// What Notification reports: a component was added or is being removed.
  enum class TOperation { opInsert, opRemove };

  /// A component owned by `owner` (optional), which then deletes it with itself.
  explicit TDvComponent(TDvComponent* owner = nullptr);
  virtual ~TDvComponent();
  TDvComponent(const TDvComponent&) = delete;
  TDvComponent& operator=(const TDvComponent&) = delete;

  /// The owner, or none.
  TDvComponent* GetOwner() const { return owner_; }
  /// The component's name (used in some messages).
  const std::string& GetName() const { return name_; }
  /// Sets the name.
  void SetName(const std::string& name) { name_ = name; }

  /// Asks to be told (through Notification with opRemove) when `other` is destroyed.
  void FreeNotification(TDvComponent* other);
  /// Stops FreeNotification for `other`.
  void RemoveFreeNotification(TDvComponent* other);

 protected:
  /// Called when a component this one asked about is destroyed. Overrides clear their references
  /// to it and then call the inherited version.
  virtual void Notification(TDvComponent* component, TOperation operation);

 private:
  void InsertOwned(TDvComponent* c);
  void RemoveOwned(TDvComponent* c);

  TDvComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TDvComponent*> owned_;
  std::vector<TDvComponent*> notify_;  // components to tell when this one goes away
};

}  // namespace dv
