#pragma once
// Wine 8's standard names for the zones the alarm tests run in. It reports
// TZ=UTC as "Greenwich Standard Time" (no bias, no daylight time) and
// Europe/Paris, one hour east with the European summer time switch as in
// the alarm example, as "Central Europe Standard Time".
#define UTC_ZONE_NAME "Greenwich Standard Time"
#define PARIS_ZONE_NAME "Central Europe Standard Time"
