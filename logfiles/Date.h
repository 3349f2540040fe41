#pragma once
// One calendar day in local time: a value type with day arithmetic, ordering
// and %Y/%M/%D formatting.
//
// The day is held as the 32-bit time value of its 00:00:00 local standard
// time (daylight saving ignored), so every way of building a given day yields
// the same value and values order like days. Days the 32-bit calendar cannot
// represent collapse onto two values: those at its low end (before 1970)
// sort before every representable day, those at its high end (after January
// 2038) after every one; two such days on the same side compare equal.

#include <boost/operators.hpp>
#include <cstdint>
#include <ctime>
#include <string>

class CDate : public boost::totally_ordered<CDate> {
public:
    // Today, in local time.
    CDate();
    // Out-of-range fields are normalised: month 13 is January of the next
    // year, day 0 the last day of the previous month.
    CDate(int day, int month, int year);
    virtual ~CDate();

    // The local day on which `time` falls.
    void SetTime(std::time_t time);
    void SetDate(int day, int month, int year);
    // Moves the day back by `days` (forward when negative); returns *this.
    CDate& SubtractDays(std::int32_t days);

    // False for the two values that stand for days outside the calendar.
    bool IsRepresentable() const;

    // Expands %Y (plain year), %M and %D (two digits); every other character
    // is copied. Throws std::logic_error (empty message) for any other
    // placeholder, and std::out_of_range for a day that is not representable.
    std::string Format(const std::string& pattern) const;

    bool operator<(const CDate& other) const { return m_date < other.m_date; }
    bool operator==(const CDate& other) const { return m_date == other.m_date; }

private:
    void SetNormalisedDate(std::int64_t day, int month, int year);

    std::int32_t m_date;
};
