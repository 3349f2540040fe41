#include "LogFolderScan.h"

#include "FileFind.h"
#include "LogFileManager.h"

#include <boost/lexical_cast.hpp>
#include <boost/regex.hpp>

bool ParseLogFileName(const std::string& name, CDate& date)
{
    const boost::regex expression(LOG_FILE_REGEX, boost::regex::perl);
    boost::smatch match;
    if (!boost::regex_match(name, match, expression))
        return false;
    const int year = boost::lexical_cast<int>(match.str(1));
    const int month = boost::lexical_cast<int>(match.str(2));
    const int day = boost::lexical_cast<int>(match.str(3));
    date.SetDate(day, month, year);
    return true;
}

std::vector<std::string> ExpiredLogFiles(const CDate& cutoff)
{
    std::vector<std::string> expired;
    Vardel::CFileFind search;
    if (!search.Find(std::string(LOG_FOLDER) + LOG_FILE_MASK))
        return expired;
    bool more;
    do {
        more = search.Next();
        if (search.IsFolder())
            continue;
        CDate date(1, 1, 2000);
        if (ParseLogFileName(search.FileName(), date) && date < cutoff)
            expired.push_back(search.FilePath());
    } while (more);
    return expired;
}
