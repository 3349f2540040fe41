-- Where the collector's loader (collect/store/store-loader.py) stands in
-- its journal: moved in the same transaction as the records it read, so
-- that each line is stored once whatever fails in between, and two loaders
-- of one journal (one killed while its batch still runs) cannot both store
-- a line. Creates or upgrades; safe to run again.

create table if not exists vardel.journal_position (
  journal text primary key,
  -- The journal file: its inode, and the start of its first line, which a
  -- later file given the same inode does not share.
  head bytea not null,
  file_id bigint not null,
  pos bigint not null check (pos >= 0),
  moved timestamptz not null default now()
);

-- Moves the journal's position from where the caller read it to where its
-- batch ends; false (nothing moved) where it stands elsewhere by now. A
-- second caller waits here until the first has committed or rolled back.
create or replace function vardel.journal_advance(p_journal text, was_head bytea, was_file bigint, was_pos bigint,
                                                 p_head bytea, p_file bigint, p_pos bigint) returns boolean
language plpgsql security definer set search_path = vardel, pg_catalog, pg_temp as $$
declare
  cur vardel.journal_position;
begin
  insert into vardel.journal_position (journal, head, file_id, pos) values (p_journal, '', 0, 0)
    on conflict do nothing;
  select * into cur from vardel.journal_position j where j.journal = p_journal for update;
  if cur.head <> was_head or cur.file_id <> was_file or cur.pos <> was_pos then
    return false;
  end if;
  update vardel.journal_position j set head = p_head, file_id = p_file, pos = p_pos, moved = now()
   where j.journal = p_journal;
  return true;
end $$;

revoke all on vardel.journal_position from public, vardel_reader;
revoke all on function vardel.journal_advance(text, bytea, bigint, bigint, bytea, bigint, bigint) from public;
grant select on vardel.journal_position to vardel_collector;
grant execute on function vardel.journal_advance(text, bytea, bigint, bigint, bytea, bigint, bigint) to vardel_collector;
