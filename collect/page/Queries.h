#pragma once
// The page's statements. Every value is a bound parameter; the statements
// are put together only from the constant pieces here. The indexes that
// serve them are in collect/store/schema (020_records.sql, 030_page.sql,
// 040_page_views.sql).

#include <string>

namespace Vardel::Page::Queries {

// $1 zone, $2 hours. One row per hour of the range with its local start
// and end (host NULL), and one per host, hour and type that has warnings
// or errors. The range is the last $2 hours of the zone, the current hour
// included. Records without an instant are not drawn: their hour is not
// known.
inline constexpr const char* kOverviewHours = R"SQL(
with span as (
  select date_trunc('hour', now(), $1) - make_interval(hours => $2::int - 1) as first_hour
), counted as (
  select r.host, r.type,
         (extract(epoch from date_trunc('hour', r.utc, $1) - s.first_hour) / 3600)::int as slot,
         count(*) as n
    from vardel.records r, span s
   where r.type in ('WARNING', 'ERROR', 'FATAL_ERROR')
     and r.utc >= s.first_hour and r.utc < s.first_hour + make_interval(hours => $2::int)
   group by 1, 2, 3
)
select null::text as host, null::text as type, g.slot,
       to_char((s.first_hour + make_interval(hours => g.slot)) at time zone $1, 'YYYY-MM-DD HH24:MI') as n,
       -- An hour that repeats when the clocks go back ends an hour on.
       to_char(greatest((s.first_hour + make_interval(hours => g.slot + 1)) at time zone $1,
                        ((s.first_hour + make_interval(hours => g.slot)) at time zone $1) + interval '1 hour'),
               'YYYY-MM-DD HH24:MI') as upto
  from span s, generate_series(0, $2::int - 1) as g(slot)
union all
select host, type, slot, n::text, null from counted
)SQL";

// The same by local day of the zone, for ranges of several days: the days
// that hold any of the last $2 hours, from the first one's midnight.
inline constexpr const char* kOverviewDays = R"SQL(
with span as (
  select date_trunc('day', (now() - make_interval(hours => $2::int - 1)) at time zone $1) as first_day,
         date_trunc('day', now() at time zone $1) as last_day
), counted as (
  select r.host, r.type,
         (date_trunc('day', r.utc at time zone $1)::date - s.first_day::date) as slot,
         count(*) as n
    from vardel.records r, span s
   where r.type in ('WARNING', 'ERROR', 'FATAL_ERROR')
     and r.utc >= (s.first_day at time zone $1)
     and r.utc < ((s.last_day + interval '1 day') at time zone $1)
   group by 1, 2, 3
)
select null::text as host, null::text as type, g.slot,
       to_char(s.first_day + make_interval(days => g.slot), 'YYYY-MM-DD 00:00') as n,
       to_char(s.first_day + make_interval(days => g.slot + 1), 'YYYY-MM-DD 00:00') as upto
  from span s, generate_series(0, (s.last_day::date - s.first_day::date)) as g(slot)
union all
select host, type, slot, n::text, null from counted
)SQL";

// $1 zone, $2 hours. Per host, the warnings and errors without an instant
// whose file day reaches into the range: not drawn, but counted apart.
inline constexpr const char* kOverviewUnknown = R"SQL(
select r.host, count(*)
  from vardel.records r
 where r.utc is null and r.type in ('WARNING', 'ERROR', 'FATAL_ERROR')
   and r.file_day >= ((date_trunc('hour', now(), $1) - make_interval(hours => $2::int - 1)) at time zone $1)::date
 group by r.host
)SQL";

// $1 zone. Every host, with its latest error: the latest by instant, else
// (a host whose errors all lack one) the latest by file day.
inline constexpr const char* kOverviewHosts = R"SQL(
select h.host, e.utc is not null as known,
       coalesce(to_char(e.utc at time zone $1, 'YYYY-MM-DD HH24:MI:SS'), e.time_text) as shown,
       e.type, e.source, e.message, e.file, e.file_day::text, e.file_offset::text, e.piece::text, e.id::text
  from vardel.hosts h
  left join lateral (
    select * from (
      select r.utc, r.time_text, r.type, r.source, r.message, r.file, r.file_day, r.file_offset, r.piece, r.id
        from vardel.records r
       where r.host = h.host and r.type in ('ERROR', 'FATAL_ERROR') and r.utc is not null
       order by r.at desc, r.id desc
       limit 1) k
    union all
    select * from (
      select r.utc, r.time_text, r.type, r.source, r.message, r.file, r.file_day, r.file_offset, r.piece, r.id
        from vardel.records r
       where r.host = h.host and r.type in ('ERROR', 'FATAL_ERROR') and r.utc is null
       order by r.file_day desc, r.id desc
       limit 1) u
    limit 1) e on true
 order by h.host
)SQL";

// Every host the site has, for the host filter (matched without regard to
// case) and the form's choices.
inline constexpr const char* kHosts = R"SQL(
select host from vardel.hosts order by host limit 2000
)SQL";

// The columns of a record row, in RecordRow's order ($1 is the zone).
inline constexpr const char* kRecordColumns = R"SQL(
select r.id,
       (case when r.utc is null then extract(epoch from r.file_day::timestamp) else extract(epoch from r.at) end
        * 1000000)::bigint as key_us,
       r.host, r.file, r.file_day::text, r.file_offset::text, r.piece::text, r.pieces::text,
       to_char(r.received at time zone 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') as received,
       to_char(r.utc at time zone $1, 'YYYY-MM-DD HH24:MI:SS') as shown,
       to_char(r.utc at time zone 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') as utc,
       r.time_text, r.type, r.level, r.source, r.message, r.raw, r.unknown
  from vardel.records r
)SQL";

// The filters of /records: $1 zone, $2 one host, $3 hosts (any of them;
// the host names as stored), $4 types, $5 levels, $6 from, $7 to (local
// times of the zone), $8 text in source, message or raw. NULL means any.
// Records without an instant match a time filter by their file day.
inline constexpr const char* kFilters = R"SQL(
 where ($2::text is null or r.host = $2)
   and ($3::text[] is null or r.host = any($3::text[]))
   and ($4::text[] is null or r.type = any($4::text[]))
   and ($5::text[] is null or r.level = any($5::text[]))
   and ($8::text is null or strpos(lower(r.source), lower($8)) > 0 or strpos(lower(r.message), lower($8)) > 0
        or strpos(lower(r.raw), lower($8)) > 0)
)SQL";

inline constexpr const char* kKnown = R"SQL(
   and r.utc is not null
   and ($6::timestamp is null or r.at >= ($6::timestamp at time zone $1))
   and ($7::timestamp is null or r.at < ($7::timestamp at time zone $1))
)SQL";

inline constexpr const char* kUnknown = R"SQL(
   and r.utc is null and $1::text is not null
   and ($6::timestamp is null or r.file_day >= $6::timestamp::date)
   and ($7::timestamp is null or r.file_day::timestamp < $7::timestamp)
)SQL";

// $9/$10 the key to continue from (microseconds since 1970, id), $11 rows.
inline constexpr const char* kKnownOlder = R"SQL(
   and ($9::bigint is null
        or (r.at, r.id) < (timestamptz 'epoch' + $9::bigint * interval '1 microsecond', $10::bigint))
 order by r.at desc, r.id desc
 limit $11
)SQL";
inline constexpr const char* kKnownNewer = R"SQL(
   and (r.at, r.id) > (timestamptz 'epoch' + $9::bigint * interval '1 microsecond', $10::bigint)
 order by r.at, r.id
 limit $11
)SQL";
inline constexpr const char* kUnknownOlder = R"SQL(
   and ($9::bigint is null
        or (r.file_day, r.id) < ((timestamp 'epoch' + $9::bigint * interval '1 microsecond')::date, $10::bigint))
 order by r.file_day desc, r.id desc
 limit $11
)SQL";
inline constexpr const char* kUnknownNewer = R"SQL(
   and (r.file_day, r.id) > ((timestamp 'epoch' + $9::bigint * interval '1 microsecond')::date, $10::bigint)
 order by r.file_day, r.id
 limit $11
)SQL";

// A page of records, newest first (newer: oldest first after the key).
inline std::string Records(bool unknown, bool newer)
{
    return std::string(kRecordColumns) + kFilters + (unknown ? kUnknown : kKnown) +
           (unknown ? (newer ? kUnknownNewer : kUnknownOlder) : (newer ? kKnownNewer : kKnownOlder));
}

// How many match, counted up to $9 (past it the page says "more than").
inline std::string Count(bool unknown)
{
    return std::string("select count(*) from (select 1 from vardel.records r") + kFilters +
           (unknown ? kUnknown : kKnown) + " limit $9) c";
}

// The records without an instant that match, per host, to show beside
// the list of those with one.
inline std::string UnknownPerHost()
{
    return std::string("select r.host, count(*) from vardel.records r") + kFilters + kUnknown +
           " group by r.host order by r.host limit 50";
}

// $1 zone, $2 host, $3 file, $4 file day, $5 offset, $6 piece, $7 id.
inline std::string Record()
{
    return std::string(kRecordColumns) + R"SQL(
 where r.host = $2 and r.file = $3 and r.file_day = $4::date
   and (r.file_offset = $5::bigint or ($5::bigint is null and r.file_offset is null))
   and r.piece = $6::int and r.id = $7::bigint
)SQL";
}

// The records just before ($8 = 'before') or after a record in its file.
inline std::string Around(bool after)
{
    return std::string(kRecordColumns) + R"SQL(
 where r.host = $2 and r.file = $3 and r.file_day = $4::date and $7::bigint is not null
)SQL" + (after ? " and (r.file_offset, r.piece) > ($5::bigint, $6::int) order by r.file_offset, r.piece limit 5"
               : " and (r.file_offset, r.piece) < ($5::bigint, $6::int) order by r.file_offset desc, r.piece desc limit 5");
}

// When the store last received a record (the ingest keeps it per host; a
// record's own instant may lie anywhere).
inline constexpr const char* kNewest = R"SQL(
select to_char(max(last_received) at time zone 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') from vardel.hosts
)SQL";

}  // namespace Vardel::Page::Queries
