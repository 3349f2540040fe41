-- The records: one row per record the collector parsed (raw pieces
-- included), partitioned by the day file's day, and the function the
-- collector's ompgsql action calls with each message's JSON lines.
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
  execute format('create table vardel.%I partition of vardel.records for values from (%L) to (%L)',
                 name, day, day + 1);
  return true;
end $$;

-- Retention: drops each whole day partition older than the kept days
-- (today, by UTC, and the keep_days - 1 before it stay). Returns the days
-- dropped.
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
  return dropped;
end $$;

-- A JSON number that fits the column, else NULL.
create or replace function vardel.json_int(v jsonb) returns bigint
language sql immutable as $$
  select case when jsonb_typeof(v) = 'number' and v::text ~ '^[0-9]{1,18}$' then v::text::bigint end
$$;

-- One collector message: its one or two JSON objects, one a line. Returns
-- the rows stored (a record delivered before is not stored again). A line
-- that is not a JSON object is kept whole as raw, so nothing that came is
-- lost. Making a day's partition for a day within the kept window also
-- runs the retention (so once a day at the latest while records come);
-- records of a day already outside the window are stored too and go with
-- the next such run.
create or replace function vardel.ingest(lines text, received timestamptz) returns integer
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp as $$
declare
  line text;
  rec jsonb;
  day date;
  v_file text;
  v_host text;
  v_time text;
  v_utc timestamptz;
  v_unknown text;
  is_json boolean;
  stored integer := 0;
  known_day date;
  v_offset bigint;
  v_piece integer;
  v_pieces integer;
  n integer;
begin
  received := coalesce(received, now());
  foreach line in array string_to_array(lines, E'\n') loop
    continue when line ~ '^\s*$';
    begin
      rec := line::jsonb;
      if jsonb_typeof(rec) <> 'object' then
        rec := null;
      end if;
    exception when others then
      rec := null;
    end;
    is_json := rec is not null;
    if not is_json then
      rec := jsonb_build_object('raw', line);
    end if;
    v_host := coalesce(rec->>'host', '-');
    v_file := coalesce(rec->>'file', '-');
    v_time := rec->>'time';
    day := coalesce(vardel.file_day(v_file), (received at time zone 'UTC')::date);
    if day is distinct from known_day then
      if to_regclass('vardel.records_' || to_char(day, 'YYYYMMDD')) is null
         and vardel.day_partition(day)
         and day > (now() at time zone 'UTC')::date - (select keep_days from vardel.settings) then
        perform vardel.expire();
      end if;
      known_day := day;
    end if;
    v_offset := vardel.json_int(rec->'offset');
    v_piece := coalesce(vardel.json_int(rec->'piece'), 0);
    v_pieces := vardel.json_int(rec->'pieces');
    -- A record that cannot be stored as sent (a time text the zone rules
    -- refuse, a host name too long for an index) is stored whole as raw
    -- with the reason: an error here would fail the collector's batch
    -- again and again and hold up every record behind it.
    begin
      if not is_json then
        v_utc := null; v_unknown := 'not a JSON record';
      elsif v_time is null then
        v_utc := null; v_unknown := 'not a whole record';
      else
        select r.utc, r.unknown into v_utc, v_unknown from vardel.record_instant(v_time, v_file, v_host) r;
      end if;
      insert into vardel.records (host, file, file_day, file_offset, piece, pieces, received,
                                  time_text, type, level, source, message, raw, utc, unknown)
      values (v_host, v_file, day, v_offset, v_piece, v_pieces, received,
              v_time, rec->>'type', rec->>'level', rec->>'source', rec->>'message', rec->>'raw',
              v_utc, v_unknown)
      on conflict do nothing;
    exception when others then
      v_host := left(v_host, 200);
      insert into vardel.records (host, file, file_day, file_offset, piece, pieces, received, raw, unknown)
      values (v_host, left(v_file, 200), day, v_offset, v_piece, v_pieces, received, line,
              'not stored as sent: ' || sqlerrm)
      on conflict do nothing;
    end;
    get diagnostics n = row_count;
    stored := stored + n;
    -- Kept to the second: a host's row is written at most once a second.
    if not exists (select from vardel.hosts h where h.host = v_host and h.first_received <= received
                   and h.last_received > received - interval '1 second') then
      insert into vardel.hosts as h values (v_host, received, received)
        on conflict (host) do update
          set first_received = least(h.first_received, excluded.first_received),
              last_received = greatest(h.last_received, excluded.last_received);
    end if;
  end loop;
  return stored;
end $$;

-- The collector may only add records; the page may only read.
revoke all on all tables in schema vardel from public;
revoke all on function vardel.ingest(text, timestamptz) from public;
revoke all on function vardel.expire() from public;
revoke all on function vardel.day_partition(date) from public;
grant usage on schema vardel to vardel_collector, vardel_reader;
grant execute on function vardel.ingest(text, timestamptz) to vardel_collector;
grant select on all tables in schema vardel to vardel_reader;
