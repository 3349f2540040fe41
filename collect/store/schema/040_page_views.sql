-- The page's indexes for its views of records with and without an
-- instant. Safe to run again.

-- Records without an instant are listed apart by their file day, newest
-- day first, and counted per host beside the others.
create index if not exists records_unknown_day on vardel.records (file_day desc, id desc)
  include (host)
  where utc is null;

-- Overview: the warnings and errors that have an instant, counted per host
-- and hour or day, from the index alone (a record without an instant has
-- no hour to be drawn in).
create index if not exists records_alarm_utc on vardel.records (utc)
  include (host, type)
  where type in ('WARNING', 'ERROR', 'FATAL_ERROR') and utc is not null;
