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

-- Records: one host and one type, newest first.
create index if not exists records_host_type_at on vardel.records (host, type, at desc, id desc);
