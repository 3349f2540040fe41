-- The records: one row per record the collector parsed (raw pieces
-- included), partitioned by the day file's day, and what the collector's
-- loader (collect/store/store-loader.py) calls with each batch of messages.
-- Creates or upgrades; safe to run again.

create schema if not exists vardel;

do $$
begin
  if not exists (select from pg_roles where rolname = 'vardel_collector') then
    create role vardel_collector login;
  end if;
  if not exists (select from pg_roles where rolname = 'vardel_reader') then
    create role vardel_reader login;
  end if;
end $$;

-- vardel.file_day and vardel.record_instant come from 010_zones.sql.

-- The one place the kept days are set: UPDATE vardel.settings SET keep_days = N.
create table if not exists vardel.settings (
  only_row boolean primary key default true check (only_row),
  keep_days integer not null default 90 check (keep_days > 0)
);
insert into vardel.settings default values on conflict do nothing;

create table if not exists vardel.records (
  id bigint generated always as identity,
  host text not null,
  file text not null,
  file_day date not null,
  file_offset bigint,
  piece integer not null default 0,
  pieces integer,
  received timestamptz not null,
  time_text text,
  type text,
  level text,
  source text,
  message text,
  raw text,
  utc timestamptz,
  unknown text,
  at timestamptz generated always as (coalesce(utc, received)) stored,
  -- NULL offsets are distinct: records of shippers that send none all stay.
  constraint records_once unique (host, file, file_offset, piece, file_day)
) partition by range (file_day);

-- The page: newest first, over all hosts or one.
create index if not exists records_at on vardel.records (at desc, id desc);
create index if not exists records_host_at on vardel.records (host, at desc, id desc);

-- Records whose file's day lies further ahead of the collector's clock than
-- a clock set wrong explains (vardel.far_ahead days): one partition for all
-- of them, so that a flood of such days costs no table per day. Their
-- file_day is 'infinity' (the day is in the file's name), they get no
-- instant (the reason is in unknown), and the retention deletes them by the
-- day they were received.
do $$
begin
  if to_regclass('vardel.records_future') is null then
    create table vardel.records_future partition of vardel.records for values from ('infinity') to (maxvalue);
  end if;
end $$;

-- Records of a day older than the kept days (a PC's old files shipped at
-- last, or a flood of made-up days) get no partition of their own either:
-- this default partition takes them, with their own file day and instant,
-- so that such a flood costs no table per day, and the next retention run
-- deletes them, as it would have dropped their days' partitions.
do $$
begin
  if to_regclass('vardel.records_past') is null then
    create table vardel.records_past partition of vardel.records default;
  end if;
end $$;

create or replace function vardel.far_ahead() returns integer
language sql immutable as 'select 2';

create table if not exists vardel.hosts (
  host text primary key,
  first_received timestamptz,
  last_received timestamptz
);

-- The day's partition, made when missing. Concurrent callers wait for one
-- another, so the second finds what the first made.
create or replace function vardel.day_partition(day date) returns boolean
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp as $$
declare
  name text := 'records_' || to_char(day, 'YYYYMMDD');
begin
  if to_regclass('vardel.' || name) is not null then
    return false;
  end if;
  perform pg_advisory_xact_lock(hashtext('vardel.records partitions'));
  if to_regclass('vardel.' || name) is not null then
    return false;
  end if;
  -- Rows of this day in the default partition (the kept days were raised
  -- since) move to the new partition, which could not be made over them.
  drop table if exists pg_temp.vardel_moved;
  create temporary table vardel_moved on commit drop as
    with m as (delete from vardel.records_past p where p.file_day = day returning p.*) select * from m;
  execute format('create table vardel.%I partition of vardel.records for values from (%L) to (%L)',
                 name, day, day + 1);
  insert into vardel.records (id, host, file, file_day, file_offset, piece, pieces, received, time_text, type, level,
                              source, message, raw, utc, unknown) overriding system value
  select id, host, file, file_day, file_offset, piece, pieces, received, time_text, type, level,
         source, message, raw, utc, unknown from pg_temp.vardel_moved;
  return true;
end $$;

-- Retention: drops each whole day partition older than the kept days
-- (today, by UTC, and the keep_days - 1 before it stay), the records of far
-- days received before them, and the hosts left without records. Returns
-- the days dropped.
create or replace function vardel.expire() returns integer
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp as $$
declare
  first_kept date;
  part record;
  dropped integer := 0;
begin
  select (now() at time zone 'UTC')::date - keep_days + 1 into first_kept from vardel.settings;
  perform pg_advisory_xact_lock(hashtext('vardel.records partitions'));
  for part in
    select c.relname from pg_inherits i
      join pg_class c on c.oid = i.inhrelid
     where i.inhparent = 'vardel.records'::regclass
       and c.relname ~ '^records_[0-9]{8}$'
       and to_date(substr(c.relname, 9), 'YYYYMMDD') < first_kept
  loop
    execute format('drop table vardel.%I', part.relname);
    dropped := dropped + 1;
  end loop;
  delete from vardel.records_future where received < first_kept;
  delete from vardel.records_past where file_day < first_kept;
  -- A host none of whose records is kept any more leaves the overview.
  delete from vardel.hosts h
   where h.last_received < first_kept
     and not exists (select from vardel.records r where r.host = h.host);
  return dropped;
end $$;

drop function if exists vardel.json_int(jsonb);

drop function if exists vardel.ingest(text, timestamptz);

-- The batch the loader hands in: per message line its time of receipt and
-- text, or, where the loader could not take it as a JSON object, the reason
-- and the host, file and offset it could read. Each session has its own; the
-- caller makes it (it is the caller's temporary table), emptied at commit.
create or replace function vardel.open_batch() returns void
language plpgsql set search_path = pg_catalog, pg_temp as $$
begin
  if to_regclass('pg_temp.vardel_batch') is null then
    create temporary table vardel_batch (
      n integer not null,
      received timestamptz not null,
      line text not null,
      reason text,
      host text,
      file text,
      file_offset bigint
    ) on commit delete rows;
  end if;
end $$;

-- The batch's records with their fields, file day and what keeps one from
-- being stored as sent, all without an error for any value: a host or file
-- name too long for an index, a piece number out of range. Such a record is
-- stored whole as raw with the reason, with the host and file it names
-- where they fit. (A value that still fails, such as a \u0000 that a text
-- cannot hold, fails the batch's statement, and the loader then stores the
-- batch record by record.)
-- (Its body names the session's temporary table, which exists only when
-- called.)
set check_function_bodies = off;
create or replace function vardel.batch_rows()
returns table (n integer, received timestamptz, host text, file text, file_day date, file_offset bigint,
               piece integer, pieces integer, time_text text, type text, level text, source text,
               message text, raw text, unknown text)
language sql stable set search_path = vardel, pg_catalog, pg_temp as $$
  -- (Materialized: a CTE inlined would cast each line once per use.)
  with j as materialized (
    select b.n, b.received, b.line, b.reason, b.host as seen_host, b.file as seen_file, b.file_offset as seen_offset,
           case when b.reason is null then b.line::jsonb end as rec
      from pg_temp.vardel_batch b
  ), nums as (
    -- The numbers as text: a number is used where it is a whole one of up
    -- to 18 digits, else NULL (piece 0).
    select j.*, rec->>'host' as h, rec->>'file' as fl,
           case when jsonb_typeof(rec->'offset') = 'number' then rec->>'offset' end as o_t,
           case when jsonb_typeof(rec->'piece') = 'number' then rec->>'piece' end as p_t,
           case when jsonb_typeof(rec->'pieces') = 'number' then rec->>'pieces' end as ps_t
      from j
  ), f as materialized (
    select nums.*,
           case when o_t ~ '^[0-9]{1,18}$' then o_t::bigint end as o,
           case when p_t ~ '^[0-9]{1,10}$' and p_t::bigint <= 2147483647 then p_t::bigint else 0 end as p,
           case when ps_t ~ '^[0-9]{1,10}$' and ps_t::bigint <= 2147483647 then ps_t::bigint end as ps,
           case
             when reason is not null then reason
             when jsonb_typeof(rec) <> 'object' then 'not a JSON record'
             when length(h) > 200 or length(fl) > 200
               then 'not stored as sent: host or file name longer than 200 characters'
             when jsonb_typeof(rec->'piece') not in ('null') and not (p_t ~ '^[0-9]{1,10}$' and p_t::bigint <= 2147483647)
               then format('not stored as sent: piece %s out of range', left(rec->>'piece', 40))
             when jsonb_typeof(rec->'pieces') not in ('null') and not (ps_t ~ '^[0-9]{1,10}$' and ps_t::bigint <= 2147483647)
               then format('not stored as sent: pieces %s out of range', left(rec->>'pieces', 40))
           end as why
      from nums
  ), r as (
    select f.n, f.received,
           case when why is null then coalesce(h, '-') else coalesce(left(h, 200), left(seen_host, 200), '-') end as host,
           case when why is null then coalesce(fl, '-') else coalesce(left(fl, 200), left(seen_file, 200), '-') end as file,
           coalesce(o, seen_offset) as o, case when why is null then p::integer else 0 end as p,
           case when why is null then ps::integer end as ps,
           why, f.rec, f.line
      from f
  ), d as materialized (
    select r.*, coalesce(vardel.file_day(r.file), (r.received at time zone 'UTC')::date) as day
      from r
  )
  select d.n, d.received, d.host, d.file,
         case when d.day > (d.received at time zone 'UTC')::date + vardel.far_ahead() then 'infinity'::date else d.day end,
         d.o, d.p, d.ps,
         case when why is null then rec->>'time' end, case when why is null then rec->>'type' end,
         case when why is null then rec->>'level' end, case when why is null then rec->>'source' end,
         case when why is null then rec->>'message' end,
         case when why is null then rec->>'raw' else d.line end,
         case
           when why is not null then why
           when d.day > (d.received at time zone 'UTC')::date + vardel.far_ahead()
             then format('the file''s day %s is more than %s days past the collector''s clock', d.day, vardel.far_ahead())
           when rec->>'time' is null then 'not a whole record'
         end
    from d
$$;
reset check_function_bodies;

-- Stores the batch (vardel.open_batch) in one statement: the day
-- partitions it needs first, then each record once by its key (host, file,
-- offset, piece, file day), instants computed once per hour of a time
-- text, file and host where no clock change falls in it (else per text),
-- and one row per host. A record that was stored not whole
-- (the end of a file before its line end came) gives way to the whole one
-- of the same key; a record delivered again is not stored again. Returns
-- the rows stored or replaced. Making a day's partition for a day within
-- the kept window also runs the retention (so once a day at the latest
-- while records come); records of a day already outside the window are
-- stored too, in the default partition (records_past), and go with the
-- next such run.
create or replace function vardel.take_batch() returns integer
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp as $$
declare
  day date;
  first_kept date;
  run_expire boolean := false;
  stored integer;
begin
  select (now() at time zone 'UTC')::date - keep_days + 1 into first_kept from vardel.settings;
  -- The batch's rows, worked out once for the partitions and the insert.
  if to_regclass('pg_temp.vardel_rows') is null then
    create temporary table vardel_rows on commit delete rows as select * from vardel.batch_rows() with no data;
  end if;
  delete from pg_temp.vardel_rows;
  insert into pg_temp.vardel_rows select * from vardel.batch_rows();
  for day in select distinct b.file_day from pg_temp.vardel_rows b
              where b.file_day >= first_kept and b.file_day <> 'infinity' loop
    if to_regclass('vardel.records_' || to_char(day, 'YYYYMMDD')) is null and vardel.day_partition(day) then
      run_expire := true;
    end if;
  end loop;
  if run_expire then
    perform vardel.expire();
  end if;
  -- Planned anew for each batch (EXECUTE): a plan kept from a small batch
  -- (nested loops over the hours) took minutes over a large one.
  execute $q$
  with b as (
    select * from pg_temp.vardel_rows
  ), texts as (
    select distinct b.time_text, b.file, b.host from b where b.unknown is null
  ), hours as (
    -- `Wed Dec 09 02` and ` PM GMT Standard Time` of `Wed Dec 09 02:03:55 PM GMT Standard Time`
    select distinct t.file, t.host, left(t.time_text, 13) as head, substr(t.time_text, 20) as tail
      from texts t
     -- (Character tests, cheaper than a regular expression; record_instant
     -- checks the rest of the first and last second's text.)
     where translate(substr(t.time_text, 12, 9), '0123456789', '##########') = '##:##:## '
       and substr(t.time_text, 15, 1) <= '5' and substr(t.time_text, 18, 1) <= '5'
  ), spans as (
    -- An hour whose first and last second are an hour less a second apart
    -- holds no change of the clock: its instants follow from the first.
    select h.*, a.utc as first_utc
      from hours h,
           lateral vardel.record_instant(h.head || ':00:00' || h.tail, h.file, h.host) a,
           lateral vardel.record_instant(h.head || ':59:59' || h.tail, h.file, h.host) z
     where z.utc = a.utc + interval '59 minutes 59 seconds'
  ), instants as (
    select t.time_text, t.file, t.host,
           -- (CASE: the minutes and seconds are read only from a text of the
           -- hour's own form; any other text keeps its own reading.)
           coalesce(case when s.first_utc is not null
                         then s.first_utc + make_interval(mins => substr(t.time_text, 15, 2)::int,
                                                          secs => substr(t.time_text, 18, 2)::int) end,
                    i.utc) as utc,
           i.unknown
      from texts t
      left join spans s
        on s.file = t.file and s.host = t.host and s.head = left(t.time_text, 13) and s.tail = substr(t.time_text, 20)
       and translate(substr(t.time_text, 12, 9), '0123456789', '##########') = '##:##:## '
       and substr(t.time_text, 15, 1) <= '5' and substr(t.time_text, 18, 1) <= '5'
      -- (offset 0 keeps the condition a gate: record_instant runs only
      -- where the hour did not give the instant.)
      left join lateral (select r.utc, r.unknown from vardel.record_instant(t.time_text, t.file, t.host) r
                          where s.first_utc is null offset 0) i on true
  ), stored_rows as (
    insert into vardel.records as r (host, file, file_day, file_offset, piece, pieces, received, time_text,
                                     type, level, source, message, raw, utc, unknown)
    select distinct on (b.host, b.file, b.file_day, coalesce(b.file_offset, -b.n), b.piece)
           b.host, b.file, b.file_day, b.file_offset, b.piece, b.pieces, b.received, b.time_text,
           b.type, b.level, b.source, b.message, b.raw, i.utc, coalesce(b.unknown, i.unknown)
      from b left join instants i
        on b.unknown is null and i.time_text = b.time_text and i.file = b.file and i.host = b.host
     -- Of one key in one batch: the whole record, else the longest text.
     order by b.host, b.file, b.file_day, coalesce(b.file_offset, -b.n), b.piece,
              b.time_text is null, length(b.raw) desc nulls last, b.n
    on conflict (host, file, file_offset, piece, file_day) do update
       set pieces = excluded.pieces, received = excluded.received, time_text = excluded.time_text,
           type = excluded.type, level = excluded.level, source = excluded.source,
           message = excluded.message, raw = excluded.raw, utc = excluded.utc, unknown = excluded.unknown
     where r.time_text is null and r.pieces is null
       and (excluded.time_text is not null
            or (length(excluded.raw) > length(r.raw) and starts_with(excluded.raw, r.raw)))
    returning 1
  ), host_rows as (
    insert into vardel.hosts as h
    select b.host, min(b.received), max(b.received) from b group by b.host
    on conflict (host) do update
       set first_received = least(h.first_received, excluded.first_received),
           last_received = greatest(h.last_received, excluded.last_received)
     where h.first_received > excluded.first_received or h.last_received < excluded.last_received
  )
  select count(*) from stored_rows
  $q$ into stored;
  return stored;
end $$;

-- One message's JSON lines, for the owner's own use (the collector goes
-- through the loader): the same path as a batch of one message.
create or replace function vardel.ingest(lines text, received timestamptz) returns integer
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp as $$
declare
  line text;
  i integer := 0;
  why text;
begin
  perform vardel.open_batch();
  delete from pg_temp.vardel_batch;
  foreach line in array string_to_array(lines, E'\n') loop
    continue when line ~ '^\s*$';
    i := i + 1;
    begin
      why := case when jsonb_typeof(line::jsonb) = 'object' then null else 'not a JSON record' end;
    exception when others then
      why := 'not a JSON record';
    end;
    insert into pg_temp.vardel_batch values (i, coalesce(received, now()), line, why, null, null, null);
  end loop;
  return vardel.take_batch();
end $$;

-- The collector may only add records; the page may only read.
revoke all on all tables in schema vardel from public;
revoke all on function vardel.ingest(text, timestamptz) from public;
revoke all on function vardel.take_batch() from public;
revoke all on function vardel.expire() from public;
revoke all on function vardel.day_partition(date) from public;
grant usage on schema vardel to vardel_collector, vardel_reader;
grant execute on function vardel.open_batch() to vardel_collector;
grant execute on function vardel.take_batch() to vardel_collector;
grant select on all tables in schema vardel to vardel_reader;
