#pragma once
// The page's statements. Every value is a bound parameter; the indexes that
// serve them are in collect/store/schema (020_records.sql, 030_page.sql).

namespace Vardel::Page::Queries {

// $1 zone, $2 hours. One row per hour of the range with its local label
// (host NULL), and one per host, hour and type that has warnings or errors.
// The range is the last $2 hours of the zone, the current hour included.
inline constexpr const char* kOverviewCounts = R"SQL(
with span as (
  select date_trunc('hour', now(), $1) - make_interval(hours => $2::int - 1) as first_hour
), counted as (
  select r.host, r.type,
         (extract(epoch from date_trunc('hour', r.at, $1) - s.first_hour) / 3600)::int as slot,
         count(*) as n
    from vardel.records r, span s
   where r.type in ('WARNING', 'ERROR', 'FATAL_ERROR')
     and r.at >= s.first_hour and r.at < s.first_hour + make_interval(hours => $2::int)
   group by 1, 2, 3
)
select null::text as host, null::text as type, g.slot,
       to_char((s.first_hour + make_interval(hours => g.slot)) at time zone $1, 'YYYY-MM-DD HH24:MI') as n
  from span s, generate_series(0, $2::int - 1) as g(slot)
union all
select host, type, slot, n::text from counted
)SQL";

// $1 zone. Every host, with its latest error (of any time) when it has one.
inline constexpr const char* kOverviewHosts = R"SQL(
select h.host, e.utc is not null as known,
       coalesce(to_char(e.utc at time zone $1, 'YYYY-MM-DD HH24:MI:SS'), e.time_text) as shown,
       e.type, e.source, e.message
  from vardel.hosts h
  left join lateral (
    select r.utc, r.time_text, r.type, r.source, r.message
      from vardel.records r
     where r.host = h.host and r.type in ('ERROR', 'FATAL_ERROR')
     order by r.at desc, r.id desc
     limit 1) e on true
 order by h.host
)SQL";

// $1 zone, $2 host, $3 type, $4 level, $5 from, $6 to (local times of the
// zone), $7 text in source or message, $8/$9 the key to continue after
// (microseconds since 1970, id), $10 rows. NULL means "any".
inline constexpr const char* kRecords = R"SQL(
select r.id, (extract(epoch from r.at) * 1000000)::bigint as at_us, r.host, r.file,
       to_char(r.utc at time zone $1, 'YYYY-MM-DD HH24:MI:SS') as shown,
       to_char(r.utc at time zone 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') as utc,
       r.time_text, r.type, r.level, r.source, r.message, r.raw, r.unknown
  from vardel.records r
 where ($2::text is null or r.host = $2)
   and ($3::text is null or r.type = $3)
   and ($4::text is null or r.level = $4)
   and ($5::timestamp is null or r.at >= ($5::timestamp at time zone $1))
   and ($6::timestamp is null or r.at < ($6::timestamp at time zone $1))
   and ($7::text is null or strpos(lower(r.source), lower($7)) > 0 or strpos(lower(r.message), lower($7)) > 0
        or strpos(lower(r.raw), lower($7)) > 0)
   and ($8::bigint is null
        or (r.at, r.id) < (timestamptz 'epoch' + $8::bigint * interval '1 microsecond', $9::bigint))
 order by r.at desc, r.id desc
 limit $10
)SQL";

// When the store last received a record (the ingest keeps it per host; a
// record's own instant may lie anywhere).
inline constexpr const char* kNewest = R"SQL(
select to_char(max(last_received) at time zone 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"') from vardel.hosts
)SQL";

}  // namespace Vardel::Page::Queries
