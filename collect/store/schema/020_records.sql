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
  -- n numbers the lines a caller copies in without one, from 1 in each
  -- batch.
  if to_regclass('pg_temp.vardel_batch_n') is null then
    create temporary sequence vardel_batch_n as integer cycle;
  end if;
  perform setval('pg_temp.vardel_batch_n', 1, false);
  if to_regclass('pg_temp.vardel_batch') is null then
    create temporary table vardel_batch (
      n integer not null default nextval('pg_temp.vardel_batch_n'),
      received timestamptz not null,
      line text not null,
      reason text,
      host text,
      file text,
      file_offset bigint
    ) on commit delete rows;
  end if;
end $$;

-- (The former rows of a batch, which take_batch wrote into a temporary
-- table.)
drop function if exists vardel.batch_rows();

-- A JSON number's text (which holds no exponent) is a whole one of up to
-- `digits` digits.
create or replace function vardel.whole_number(t text, digits integer) returns boolean
language sql immutable as $$
  select octet_length(t) <= digits and strpos(t, '.') = 0 and strpos(t, '-') = 0
$$;

-- The batch's days within the kept window (from first_kept) whose
-- partition is missing, made (vardel.day_partition), and the retention run
-- where one was: the days of the file names the JSON gives, else of the
-- day of receipt and of the name the loader read (at worst a partition of
-- the kept window is made before it is needed).
-- (Its body names the session's temporary table, which exists only when
-- called.)
set check_function_bodies = off;
create or replace function vardel.batch_partitions(first_kept date) returns void
language plpgsql set search_path = vardel, pg_catalog, pg_temp as $$
declare
  day date;
  made boolean := false;
begin
  for day in
    with x as (
      select distinct n.name, (b.received at time zone 'UTC')::date as got
        from pg_temp.vardel_batch b,
             lateral (select case when b.reason is null then b.line::jsonb->>'file' end as fl) f,
             -- (Without a name in the JSON, the record goes by the day of
             -- receipt, or, stored as raw, by the name the loader read.)
             lateral (select f.fl union all select b.file where f.fl is null) n(name)
    )
    select distinct d.day
      from (select coalesce(vardel.file_day(x.name), x.got) as day, x.got from x) d
     where d.day >= first_kept and d.day <= d.got + vardel.far_ahead()
  loop
    if to_regclass('vardel.records_' || to_char(day, 'YYYYMMDD')) is null and vardel.day_partition(day) then
      made := true;
    end if;
  end loop;
  if made then
    perform vardel.expire();
  end if;
end $$;
reset check_function_bodies;

-- Stops the batch's statement (SQLSTATE VD001) where a day of it lacks its
-- partition, before a row of it is stored in the default partition.
-- (Stable, as it changes nothing: a query that calls it may be inlined.)
create or replace function vardel.partitions_ready(missing date[]) returns boolean
language plpgsql stable as $$
begin
  if cardinality(missing) > 0 then
    raise exception 'no partition for the days %', missing using errcode = 'VD001';
  end if;
  return true;
end $$;

-- The batch's rows as take_batch stores them (inlined there, so that the
-- plan is its own). OFFSET 0 keeps a subquery's expressions (the line cast
-- to JSON above all) from being copied into each of their uses.
-- (Its body names the session's temporary table, which exists only when
-- called.)
set check_function_bodies = off;
create or replace function vardel.batch_rows(first_kept date)
returns table (n integer, host text, file text, file_offset bigint, piece integer, pieces integer,
               received timestamptz, time_text text, type text, level text, source text, message text,
               raw text, file_day date, utc timestamptz, unknown text)
language sql stable as $$
  with j as (
    select b.n, b.received, b.line, b.reason, b.host as seen_host, b.file as seen_file,
           b.file_offset as seen_offset, (b.received at time zone 'UTC')::date as got,
           case when b.reason is null then b.line::jsonb end as rec
      from pg_temp.vardel_batch b
    offset 0
  ), fields as (
    -- The numbers as text: a number is used where it is a whole one of up
    -- to 18 digits (offset) or 10 (piece, pieces; up to 2^31 - 1), else
    -- NULL (piece 0).
    select j.*, rec->>'host' as h, rec->>'file' as fl, rec->>'time' as t,
           case when jsonb_typeof(rec->'offset') = 'number' then rec->>'offset' end as o_t,
           jsonb_typeof(rec->'piece') as p_type, jsonb_typeof(rec->'pieces') as ps_type,
           case when jsonb_typeof(rec->'piece') = 'number' then rec->>'piece' end as p_t,
           case when jsonb_typeof(rec->'pieces') = 'number' then rec->>'pieces' end as ps_t
      from j
    offset 0
  ), checked as (
    select fields.*,
           case when vardel.whole_number(o_t, 18) then o_t::bigint end as o,
           case when vardel.whole_number(p_t, 10) and p_t::bigint <= 2147483647 then p_t::integer end as p,
           case when vardel.whole_number(ps_t, 10) and ps_t::bigint <= 2147483647 then ps_t::integer end as ps,
           case
             when reason is not null then reason
             when jsonb_typeof(rec) <> 'object' then 'not a JSON record'
             when octet_length(h) > 200 and length(h) > 200 or octet_length(fl) > 200 and length(fl) > 200
               then 'not stored as sent: host or file name longer than 200 characters'
             when p_type <> 'null' and not (vardel.whole_number(p_t, 10) and p_t::bigint <= 2147483647)
               then format('not stored as sent: piece %s out of range', left(rec->>'piece', 40))
             when ps_type <> 'null' and not (vardel.whole_number(ps_t, 10) and ps_t::bigint <= 2147483647)
               then format('not stored as sent: pieces %s out of range', left(rec->>'pieces', 40))
           end as why
      from fields
    offset 0
  ), b as materialized (
    select c.n, c.received, c.got, c.why,
           case when why is null then coalesce(h, '-') else coalesce(left(h, 200), left(seen_host, 200), '-') end as host,
           case when why is null then coalesce(fl, '-') else coalesce(left(fl, 200), left(seen_file, 200), '-') end as file,
           coalesce(o, seen_offset) as file_offset,
           case when why is null then coalesce(p, 0) else 0 end as piece,
           case when why is null then ps end as pieces,
           case when why is null then t end as time_text,
           case when why is null then rec->>'type' end as type,
           case when why is null then rec->>'level' end as level,
           case when why is null then rec->>'source' end as source,
           case when why is null then rec->>'message' end as message,
           case when why is null then rec->>'raw' else line end as raw,
           -- The hour of a time text of the form whose instant follows from
           -- its hour's, without its minutes and seconds: `Wed Dec 09 02 PM
           -- GMT Standard Time` of `Wed Dec 09 02:03:55 PM GMT Standard
           -- Time`. (Character tests, cheaper than a regular expression;
           -- record_instant checks the rest of the hour's first and last
           -- second's text.)
           case when why is null and translate(substr(t, 12, 9), '0123456789', '##########') = '##:##:## '
                     and substr(t, 15, 1) <= '5' and substr(t, 18, 1) <= '5'
                then left(t, 13) || substr(t, 20) end as hour
      from checked c
  ), names as (
    select distinct b.file, b.got from b
  ), days as materialized (
    -- Each file name's day (vardel.file_day) worked out once, else the day
    -- of receipt.
    select n.file, n.got, coalesce(vardel.file_day(n.file), n.got) as day from names n
  ), missing as (
    select distinct d.day from days d
     where d.day >= first_kept and d.day <= d.got + vardel.far_ahead()
       and to_regclass('vardel.records_' || to_char(d.day, 'YYYYMMDD')) is null
  ), hours as (
    -- (Not those of far days, which get no instant.)
    select h.file, h.host, h.hour
      from (select distinct b.file, b.got, b.host, b.hour from b where b.hour is not null) h
      join days d on d.file = h.file and d.got = h.got
     where d.day <= d.got + vardel.far_ahead()
  ), spans as (
    -- An hour whose first and last second are an hour less a second apart
    -- holds no change of the clock: its instants follow from the first.
    select h.*, a.utc as first_utc
      from hours h,
           lateral vardel.record_instant(left(h.hour, 13) || ':00:00' || substr(h.hour, 14), h.file, h.host) a,
           lateral vardel.record_instant(left(h.hour, 13) || ':59:59' || substr(h.hour, 14), h.file, h.host) z
     where z.utc = a.utc + interval '59 minutes 59 seconds'
  ), dated as (
    select b.*, d.day,
           case
             when b.why is not null then b.why
             when d.day > b.got + vardel.far_ahead()
               then format('the file''s day %s is more than %s days past the collector''s clock', d.day, vardel.far_ahead())
             when b.time_text is null then 'not a whole record'
           end as unknown
      from b join days d on d.file = b.file and d.got = b.got
    offset 0
  ), timed as (
    select d.n, d.host, d.file, d.file_offset, d.piece, d.pieces, d.received, d.time_text, d.type, d.level,
           d.source, d.message, d.raw,
           case when d.day > d.got + vardel.far_ahead() then 'infinity'::date else d.day end as file_day,
           -- (CASE: the minutes and seconds are read only from a text of
           -- the hour's own form.)
           case when d.unknown is null
                then coalesce(case when s.first_utc is not null
                                   then s.first_utc + make_interval(mins => substr(d.time_text, 15, 2)::int,
                                                                    secs => substr(d.time_text, 18, 2)::int) end,
                              i.utc) end as utc,
           coalesce(d.unknown, i.unknown) as unknown
      from dated d
      left join spans s on s.hour = d.hour and s.file = d.file and s.host = d.host
      -- (offset 0 keeps the condition a gate: record_instant runs only
      -- where the hour did not give the instant.)
      left join lateral (select r.utc, r.unknown from vardel.record_instant(d.time_text, d.file, d.host) r
                          where d.unknown is null and s.first_utc is null offset 0) i on true
     -- (Before any row is stored.)
     where (select vardel.partitions_ready(coalesce(array_agg(m.day), '{}')) from missing m)
  )
  select t.n, t.host, t.file, t.file_offset, t.piece, t.pieces, t.received, t.time_text, t.type, t.level,
         t.source, t.message, t.raw, t.file_day, t.utc, t.unknown
    from timed t
$$;
reset check_function_bodies;

-- Stores the batch (vardel.open_batch): each record once by its key (host,
-- file, offset, piece, file day), instants computed once per hour of a
-- time text, file and host where no clock change falls in it (else per
-- record), and one row per host. A record that was stored not whole (the
-- end of a file before its line end came) gives way to the whole one of the
-- same key; a record delivered again is not stored again. Returns the rows
-- stored or replaced. A day of the kept window without its partition gets
-- one first (vardel.batch_partitions), which also runs the retention (so
-- once a day at the latest while records come); records of a day already
-- outside the window are stored too, in the default partition
-- (records_past), and go with the next such run.
--
-- Each record's fields, file day and what keeps it from being stored as
-- sent are worked out without an error for any value: a host or file name
-- too long for an index, a piece number out of range. Such a record is
-- stored whole as raw with the reason, with the host and file it names
-- where they fit. (A value that still fails, such as a \u0000 that a text
-- cannot hold, fails the batch's statement, and the loader then stores the
-- batch record by record.)
create or replace function vardel.take_batch() returns integer
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp
-- (A batch's rows and their hash tables in memory; hash joins, whatever the
-- size of the batch the plan was made for (a plan kept from a small batch
-- with nested loops over the hours took minutes over a large one), rather
-- than sorts of text; no compiling for one run.)
set work_mem = '64MB' set enable_nestloop = off set enable_mergejoin = off set jit = off as $$
declare
  first_kept date;
  stored integer;
begin
  select (now() at time zone 'UTC')::date - keep_days + 1 into first_kept from vardel.settings;
  -- Most batches hold only keys new to the store and to the batch, of days
  -- whose partitions exist: a plain insert then, cheaper than one with ON
  -- CONFLICT. Where a key is there already (a record delivered again, the
  -- whole one after its partial one, twice in the batch, or stored by
  -- another session meanwhile), its unique violation undoes that insert
  -- (the block's savepoint), and the batch is stored with each key once,
  -- the whole record or the longest text of a key first. Where a day lacks
  -- its partition, the partitions are made and the batch taken again (the
  -- second time all are there).
  for attempt in 1 .. 2 loop
    begin
      begin
        with t as materialized (
          select * from vardel.batch_rows(first_kept)
        ), host_rows as (
          insert into vardel.hosts as h
          select t.host, min(t.received), max(t.received) from t group by t.host
          on conflict (host) do update
             set first_received = least(h.first_received, excluded.first_received),
                 last_received = greatest(h.last_received, excluded.last_received)
           where h.first_received > excluded.first_received or h.last_received < excluded.last_received
        )
        insert into vardel.records (host, file, file_day, file_offset, piece, pieces, received, time_text,
                                    type, level, source, message, raw, utc, unknown)
        select t.host, t.file, t.file_day, t.file_offset, t.piece, t.pieces, t.received, t.time_text,
               t.type, t.level, t.source, t.message, t.raw, t.utc, t.unknown
          from t;
        get diagnostics stored = row_count;
      exception when unique_violation then
        with t as materialized (
          select * from vardel.batch_rows(first_kept)
        ), host_rows as (
          insert into vardel.hosts as h
          select t.host, min(t.received), max(t.received) from t group by t.host
          on conflict (host) do update
             set first_received = least(h.first_received, excluded.first_received),
                 last_received = greatest(h.last_received, excluded.last_received)
           where h.first_received > excluded.first_received or h.last_received < excluded.last_received
        )
        insert into vardel.records as r (host, file, file_day, file_offset, piece, pieces, received, time_text,
                                         type, level, source, message, raw, utc, unknown)
        select distinct on (t.host, t.file, t.file_day, coalesce(t.file_offset, -t.n), t.piece)
               t.host, t.file, t.file_day, t.file_offset, t.piece, t.pieces, t.received, t.time_text,
               t.type, t.level, t.source, t.message, t.raw, t.utc, t.unknown
          from t
         -- Of one key in one batch: the whole record, else the longest text.
         order by t.host, t.file, t.file_day, coalesce(t.file_offset, -t.n), t.piece,
                  t.time_text is null, length(t.raw) desc nulls last, t.n
        on conflict (host, file, file_offset, piece, file_day) do update
           set pieces = excluded.pieces, received = excluded.received, time_text = excluded.time_text,
               type = excluded.type, level = excluded.level, source = excluded.source,
               message = excluded.message, raw = excluded.raw, utc = excluded.utc, unknown = excluded.unknown
         where r.time_text is null and r.pieces is null
           and (excluded.time_text is not null
                or (length(excluded.raw) > length(r.raw) and starts_with(excluded.raw, r.raw)));
        get diagnostics stored = row_count;
      end;
      return stored;
    exception when sqlstate 'VD001' then
      if attempt = 2 then
        raise;
      end if;
      perform vardel.batch_partitions(first_kept);
    end;
  end loop;
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
revoke all on function vardel.batch_partitions(date) from public;
revoke all on function vardel.batch_rows(date) from public;
revoke all on function vardel.expire() from public;
revoke all on function vardel.day_partition(date) from public;
grant usage on schema vardel to vardel_collector, vardel_reader;
grant execute on function vardel.open_batch() to vardel_collector;
grant execute on function vardel.take_batch() to vardel_collector;
grant select on all tables in schema vardel to vardel_reader;
