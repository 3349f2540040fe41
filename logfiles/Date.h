#pragma once
// One calendar day in local time: a value type with day arithmetic, ordering
// and %Y/%M/%D formatting.
//
// The day is held as a 64-bit day number (days since 1970-01-01 in the
// proleptic Gregorian calendar), so every day the clock or a file name can
// name has its own value, equal days have equal values and values order like
// days. Only SetTime consults the time zone, to find the local day of an
// instant; the calendar arithmetic itself is exact and zone-free.

#include "BuildSettings.h"

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

    // The local day on which `time` falls (the run-time's 64-bit calendar);
    // an instant it cannot convert gives the day of that instant in UTC.
    void SetTime(std::int64_t time);
    void SetDate(int day, int month, int year);
    // Moves the day back by `days` (forward when negative); returns *this.
    CDate& SubtractDays(std::int32_t days);

    // Expands %Y (plain year), %M and %D (two digits); every other character
    // is copied. Throws std::logic_error (empty message) for any other
    // placeholder.
    std::string Format(const std::string& pattern) const;

    bool operator<(const CDate& other) const { return m_date < other.m_date; }
    bool operator==(const CDate& other) const { return m_date == other.m_date; }

private:
    void SetDay(std::int64_t day);

    std::int64_t m_date;
};
