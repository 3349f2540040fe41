-- The page's indexes beyond 020's (records_at, records_host_at). Safe to
-- run again.

-- Overview: the warnings and errors of a range, counted per host and hour,
-- from the index alone.
create index if not exists records_alarm_at on vardel.records (at)
  include (host, type)
  where type in ('WARNING', 'ERROR', 'FATAL_ERROR');

-- Overview: each host's latest error.
create index if not exists records_host_error_at on vardel.records (host, at desc, id desc)
  where type in ('ERROR', 'FATAL_ERROR');

-- No index of its own for one host and one type: records_host_at finds a
-- host's newest first and the type is checked there (a full index more
-- would slow every insert for a search that takes milliseconds without it).
drop index if exists vardel.records_host_type_at;
