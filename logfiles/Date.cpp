#include "Date.h"

#include <boost/lexical_cast.hpp>
#include <stdexcept>
#include <time.h>

namespace {

// Day numbers are kept within this bound, far beyond any date a clock or a
// file name can carry, so that the arithmetic below never overflows.
constexpr std::int64_t DAY_LIMIT = std::int64_t(1) << 50;
constexpr std::int64_t SECONDS_PER_DAY = 86400;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date, month 1 to 12.
std::int64_t DayFromCivil(std::int64_t year, int month, std::int64_t day)
{
    year -= month <= 2;
    const std::int64_t era = FloorDiv(year, 400);
    const std::int64_t yoe = year - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDay(std::int64_t dayNumber, std::int64_t& year, int& month, int& day)
{
    dayNumber += 719468;
    const std::int64_t era = FloorDiv(dayNumber, 146097);
    const std::int64_t doe = dayNumber - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = yoe + era * 400 + (month <= 2);
}

void AppendTwoDigits(std::string& text, int value)
{
    if (value < 10)
        text += '0';
    text += boost::lexical_cast<std::string>(value);
}

} // namespace

CDate::CDate() : m_date(0)
{
    SetTime(_time64(nullptr));
}

CDate::CDate(int day, int month, int year) : m_date(0)
{
    SetDate(day, month, year);
}

CDate::~CDate() = default;

void CDate::SetTime(std::int64_t time)
{
    const __time64_t instant = time;
    std::tm local = {};
    if (_localtime64_s(&local, &instant) != 0) {
        SetDay(FloorDiv(time, SECONDS_PER_DAY));
        return;
    }
    SetDate(local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
}

// Month and year are normalised first, then the day is counted from the
// first of that month, all in 64 bits so that no field can overflow.
void CDate::SetDate(int day, int month, int year)
{
    const std::int64_t months = static_cast<std::int64_t>(month) - 1;
    const std::int64_t fullYear = year + FloorDiv(months, 12);
    const int monthInYear = static_cast<int>(months - FloorDiv(months, 12) * 12) + 1;
    SetDay(DayFromCivil(fullYear, monthInYear, 1) + day - 1);
}

CDate& CDate::SubtractDays(std::int32_t days)
{
    SetDay(m_date - days);
    return *this;
}

void CDate::SetDay(std::int64_t day)
{
    m_date = day < -DAY_LIMIT ? -DAY_LIMIT : day > DAY_LIMIT ? DAY_LIMIT : day;
}

std::string CDate::Format(const std::string& pattern) const
{
    std::int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDay(m_date, year, month, day);

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
            text += boost::lexical_cast<std::string>(year);
            break;
        case 'M':
            AppendTwoDigits(text, month);
            break;
        case 'D':
            AppendTwoDigits(text, day);
            break;
        default:
            throw std::logic_error("");
        }
    }
    return text;
}
