#pragma once
// The routes' store side: one typed query in, the rows as the renderer
// takes them out.

#include <vector>

#include "Params.h"
#include "Render.h"
#include "Store.h"

namespace Vardel::Page {

Overview LoadOverview(Store& store, const OverviewQuery& query);
std::vector<RecordRow> LoadRecords(Store& store, const RecordsQuery& query);
Text LoadNewest(Store& store);

}  // namespace Vardel::Page
