-- The site's zone, and the instant for records stored without one once a
-- zone is set. After 020_records.sql, whose settings and records it uses.
-- Safe to run again.
--
-- A cut name that several zones could have written then with different
-- offsets (`Eastern Standard Ti` before 2015: New York, and Cancun on UTC-6)
-- gives no instant; the site's zone settles it where it is one of them
-- (vardel.record_instant):
--     UPDATE vardel.settings SET site_zone = 'America/New_York';
--     SELECT vardel.reinstant();
-- A host's own zone (vardel.host_zones) wins over it for that host.

alter table vardel.settings add column if not exists site_zone text;

create or replace function vardel.check_site_zone() returns trigger
language plpgsql as $$
begin
  if new.site_zone is not null
     and not exists (select from pg_timezone_names where name = new.site_zone) then
    raise exception 'unknown IANA zone "%"', new.site_zone using errcode = 'check_violation';
  end if;
  return new;
end $$;

drop trigger if exists settings_site_zone on vardel.settings;
create trigger settings_site_zone before insert or update of site_zone on vardel.settings
  for each row execute function vardel.check_site_zone();

-- Records without an instant, which setting a zone may give one.
create index if not exists records_no_instant on vardel.records (host) where utc is null;

-- Works out again the instant of every record stored without one (of one
-- host, or all), under the zone settings as they are now. Returns how many
-- got an instant. The owner runs it after changing vardel.host_zones or the
-- site zone; site.sh does when VARDEL_SITE_ZONE changes the setting. A
-- record whose reason alone changes gets the new reason; one that had an
-- instant keeps it, and so does one the store filed under a day other than
-- its file's (a day far past the collector's clock) with its own reason.
create or replace function vardel.reinstant(only_host text default null) returns bigint
language plpgsql as $$
declare
  given bigint;
begin
  with changed as (
    update vardel.records r
       set (utc, unknown) = (select i.utc, i.unknown from vardel.record_instant(r.time_text, r.file, r.host) i)
     where r.utc is null and r.time_text is not null
       and (only_host is null or r.host = only_host)
       and r.file_day = vardel.file_day(r.file)
       and (select i.utc is not null or i.unknown is distinct from r.unknown
              from vardel.record_instant(r.time_text, r.file, r.host) i)
    returning r.utc
  )
  select count(*) filter (where utc is not null) into given from changed;
  return given;
end $$;

revoke all on function vardel.reinstant(text) from public;
revoke all on function vardel.check_site_zone() from public;
