#pragma once
// The routes' store side: one typed query in, the rows as the renderer
// takes them out.

#include <vector>

#include "Params.h"
#include "Render.h"
#include "Store.h"

namespace Vardel::Page {

Overview LoadOverview(Store& store, const OverviewQuery& query);
// A screen page: its rows, whether there are older and newer ones, the
// count of matches and the site's hosts.
RecordsPage LoadRecordsPage(Store& store, const RecordsQuery& query);
// Rows only, newest first, before the query's cursor (the export's pages).
std::vector<RecordRow> LoadRecords(Store& store, const RecordsQuery& query);
RecordView LoadRecord(Store& store, const RecordKey& key);
Text LoadNewest(Store& store);

// A text[] literal of the values, each quoted, for a bound parameter.
std::string ArrayLiteral(const std::vector<std::string>& values);

}  // namespace Vardel::Page
