#include "Date.h"

#include <boost/lexical_cast.hpp>
#include <climits>
#include <stdexcept>

namespace {

// Stand-ins for days outside the 32-bit calendar. Neither can be a real day:
// local midnights are not negative and, zone offsets being whole minutes,
// are multiples of 60, which INT32_MAX is not.
constexpr std::int32_t BEFORE_CALENDAR = INT32_MIN;
constexpr std::int32_t AFTER_CALENDAR = INT32_MAX;

// The calendar's days are 1970-01-01 to 2038-01-19 (serials 0 to 24855); a
// day beyond the middle that cannot be converted lies past the high end.
constexpr std::int64_t LAST_SERIAL = 24855;
constexpr std::int64_t MIDDLE_SERIAL = LAST_SERIAL / 2;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date, month 1 to 12.
std::int64_t SerialFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    const std::int64_t era = FloorDiv(year, 400);
    const std::int64_t yoe = year - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromSerial(std::int64_t serial, int& year, int& month, int& day)
{
    serial += 719468;
    const std::int64_t era = FloorDiv(serial, 146097);
    const std::int64_t doe = serial - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

std::int32_t OutsideCalendar(std::int64_t serial)
{
    return serial <= MIDDLE_SERIAL ? BEFORE_CALENDAR : AFTER_CALENDAR;
}

void AppendTwoDigits(std::string& text, int value)
{
    if (value < 10)
        text += '0';
    text += boost::lexical_cast<std::string>(value);
}

} // namespace

CDate::CDate() : m_date(BEFORE_CALENDAR)
{
    SetTime(std::time(nullptr));
}

CDate::CDate(int day, int month, int year) : m_date(BEFORE_CALENDAR)
{
    SetDate(day, month, year);
}

CDate::~CDate() = default;

void CDate::SetTime(std::time_t time)
{
    const std::tm* local = std::localtime(&time);
    if (!local) {
        m_date = time < 0 ? BEFORE_CALENDAR : AFTER_CALENDAR;
        return;
    }
    SetNormalisedDate(local->tm_mday, local->tm_mon + 1, local->tm_year + 1900);
}

void CDate::SetDate(int day, int month, int year)
{
    SetNormalisedDate(day, month, year);
}

CDate& CDate::SubtractDays(std::int32_t days)
{
    // A day outside the calendar has no exact position to move from.
    if (!IsRepresentable())
        return *this;
    const std::time_t date = m_date;
    const std::tm* local = std::localtime(&date);
    if (local)
        SetNormalisedDate(static_cast<std::int64_t>(local->tm_mday) - days, local->tm_mon + 1,
                          local->tm_year + 1900);
    return *this;
}

bool CDate::IsRepresentable() const
{
    return m_date != BEFORE_CALENDAR && m_date != AFTER_CALENDAR;
}

// The calendar arithmetic is done here in 64 bits, so that no field can
// overflow; the run-time only converts the resulting day's midnight, with
// daylight saving off, to a time value.
void CDate::SetNormalisedDate(std::int64_t day, int month, int year)
{
    const std::int64_t months = static_cast<std::int64_t>(month) - 1;
    const std::int64_t fullYear = year + FloorDiv(months, 12);
    const int monthInYear = static_cast<int>(months - FloorDiv(months, 12) * 12) + 1;
    const std::int64_t serial = SerialFromCivil(fullYear, monthInYear, 1) + day - 1;
    // One day of margin each side: a zone's midnight may still fall inside.
    if (serial < -1 || serial > LAST_SERIAL + 1) {
        m_date = OutsideCalendar(serial);
        return;
    }

    std::tm fields = {};
    CivilFromSerial(serial, fields.tm_year, fields.tm_mon, fields.tm_mday);
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    fields.tm_isdst = 0;
    const std::time_t midnight = std::mktime(&fields);
    if (midnight < 0 || midnight > INT32_MAX)
        m_date = OutsideCalendar(serial);
    else
        m_date = static_cast<std::int32_t>(midnight);
}

std::string CDate::Format(const std::string& pattern) const
{
    if (!IsRepresentable())
        throw std::out_of_range("CDate::Format: day outside the 32-bit calendar");
    const std::time_t date = m_date;
    const std::tm* converted = std::localtime(&date);
    if (!converted)
        throw std::out_of_range("CDate::Format: day outside the 32-bit calendar");
    const std::tm local = *converted;

    std::string text;
    text.reserve(pattern.size() + 8);
    for (std::string::size_type i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            text += pattern[i];
            continue;
        }
        const char field = i + 1 < pattern.size() ? pattern[++i] : '\0';
        switch (field) {
        case 'Y':
            text += boost::lexical_cast<std::string>(local.tm_year + 1900);
            break;
        case 'M':
            AppendTwoDigits(text, local.tm_mon + 1);
            break;
        case 'D':
            AppendTwoDigits(text, local.tm_mday);
            break;
        default:
            throw std::logic_error("");
        }
    }
    return text;
}
