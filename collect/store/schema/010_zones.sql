-- The UTC instant of a record from its time text and its day file's name.
--
-- A record's time text carries no year and names its zone the way the
-- writer's Windows does (`Mon Jan 05 02:03:55 PM GMT Standard Time`, the
-- name cut to 19 characters), or is `UNKNOWN_TIME <seconds since 1970 UTC>`.
-- vardel.record_instant gives the instant where the text decides it and
-- otherwise no instant and the reason, never a guess. Safe to run again.

SET client_min_messages = warning;
CREATE SCHEMA IF NOT EXISTS vardel;

-- Each zone's standard and daylight names as Windows writes them, with the
-- IANA zone whose history gives the offsets. 011_zone_names.sql fills it.
CREATE TABLE IF NOT EXISTS vardel.zone_names (
    name     text    NOT NULL,
    zone_key text    NOT NULL,
    iana     text    NOT NULL,
    daylight boolean NOT NULL,
    PRIMARY KEY (name, zone_key, daylight)
);
-- The writer cuts names to 19 characters: a text's name matches every name
-- that begins with it when it is 19 long, else only itself. zone_cuts holds
-- the matches of each possible text, one element per Windows zone (its
-- daylight flag NULL where the zone's two names are the same), so a record
-- costs one index lookup; zone_names' triggers keep it. Its pages are kept
-- sparse so that the planner takes the index rather than reading the whole
-- (small) table for every record.
CREATE TABLE IF NOT EXISTS vardel.zone_cuts (
    cut      text PRIMARY KEY,
    ianas    text[] NOT NULL,
    daylight boolean[] NOT NULL
) WITH (fillfactor = 10);
ALTER TABLE vardel.zone_cuts SET (fillfactor = 10);

CREATE OR REPLACE FUNCTION vardel.refresh_zone_cuts() RETURNS void
LANGUAGE plpgsql AS $$
BEGIN
    DELETE FROM vardel.zone_cuts;
    INSERT INTO vardel.zone_cuts (cut, ianas, daylight)
    SELECT cut, array_agg(iana ORDER BY zone_key), array_agg(daylight ORDER BY zone_key)
      FROM (SELECT left(name, 19) AS cut, zone_key, iana,
                   CASE WHEN bool_and(daylight) = bool_or(daylight) THEN bool_or(daylight) END AS daylight
              FROM vardel.zone_names
             GROUP BY 1, 2, 3) z
     GROUP BY cut;
END $$;

CREATE OR REPLACE FUNCTION vardel.fill_zone_cuts() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    PERFORM vardel.refresh_zone_cuts();
    RETURN NULL;
END $$;

DROP TRIGGER IF EXISTS zone_names_cuts ON vardel.zone_names;
CREATE TRIGGER zone_names_cuts AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON vardel.zone_names
    FOR EACH STATEMENT EXECUTE FUNCTION vardel.fill_zone_cuts();
-- Filled at once where an earlier schema left zone_names without it.
DO $$ BEGIN PERFORM vardel.refresh_zone_cuts(); END $$;

-- A PC whose Windows names zones in another language gets its zone here;
-- the setting wins over the table for that host.
CREATE TABLE IF NOT EXISTS vardel.host_zones (
    host text PRIMARY KEY,
    iana text NOT NULL
);

CREATE OR REPLACE FUNCTION vardel.check_iana() RETURNS trigger
LANGUAGE plpgsql AS $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_timezone_names WHERE name = NEW.iana) THEN
        RAISE EXCEPTION 'unknown IANA zone "%"', NEW.iana USING ERRCODE = 'check_violation';
    END IF;
    RETURN NEW;
END $$;

DROP TRIGGER IF EXISTS host_zones_iana ON vardel.host_zones;
CREATE TRIGGER host_zones_iana BEFORE INSERT OR UPDATE OF iana ON vardel.host_zones
    FOR EACH ROW EXECUTE FUNCTION vardel.check_iana();

-- Days in a month of the proleptic Gregorian calendar.
CREATE OR REPLACE FUNCTION vardel.month_days(y int, m int) RETURNS int
LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $$
    SELECT CASE WHEN m = 2 THEN CASE WHEN y % 4 = 0 AND (y % 100 <> 0 OR y % 400 = 0) THEN 29 ELSE 28 END
                ELSE 30 + (m + m / 8) % 2 END
$$;

-- The writer's local day from `Log_YYYY_MM_DD.log`; NULL for any other name
-- or a day that does not exist.
CREATE OR REPLACE FUNCTION vardel.file_day(file_name text) RETURNS date
LANGUAGE plpgsql IMMUTABLE PARALLEL SAFE AS $$
DECLARE
    y int;
    m int;
    d int;
BEGIN
    -- Character tests rather than a regular expression: this runs per record.
    IF file_name IS NULL OR length(file_name) <> 18
       OR translate(file_name, '0123456789', '##########') <> 'Log_####_##_##.log' THEN
        RETURN NULL;
    END IF;
    y := substr(file_name, 5, 4)::int;
    m := substr(file_name, 10, 2)::int;
    d := substr(file_name, 13, 2)::int;
    IF y < 1 OR m NOT BETWEEN 1 AND 12 OR d NOT BETWEEN 1 AND vardel.month_days(y, m) THEN
        RETURN NULL;
    END IF;
    RETURN make_date(y, m, d);
END $$;

-- The UTC offset of an IANA zone at an instant.
CREATE OR REPLACE FUNCTION vardel.zone_offset(iana text, t timestamptz) RETURNS interval
LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $$
    SELECT (t AT TIME ZONE iana) - (t AT TIME ZONE 'UTC')
$$;

-- The instant of local time `local_time` in zone `iana` under the zone's
-- standard (daylight false) or daylight (true) offset of the months around
-- it: the smaller and the larger offset the zone takes within half a year
-- either side, which holds for both hemispheres. With daylight NULL the
-- zone alone must decide. No instant where the named offset is not in force
-- then; `why` says so. `fits`: the zone could have written the name then
-- (the named offset is in force; with daylight NULL, the local time
-- exists), which the hour a clock change repeats leaves without an instant.
-- An earlier schema's function, without `fits`, is dropped first; only
-- then, so that running the schema again leaves no moment without it.
DO $$ BEGIN
    IF EXISTS (SELECT FROM pg_proc
                WHERE oid = to_regprocedure('vardel.zone_instant(timestamp, text, boolean)')
                  AND NOT 'fits' = ANY (proargnames)) THEN
        DROP FUNCTION vardel.zone_instant(timestamp, text, boolean);
    END IF;
END $$;
CREATE OR REPLACE FUNCTION vardel.zone_instant(local_time timestamp, iana text, daylight boolean,
                                               OUT utc timestamptz, OUT why text, OUT fits boolean)
LANGUAGE plpgsql IMMUTABLE PARALLEL SAFE AS $$
DECLARE
    -- Month steps on timestamp, not timestamptz, whose month arithmetic
    -- would follow the session's zone.
    o0 interval := vardel.zone_offset(iana, local_time AT TIME ZONE 'UTC');
    o1 interval := vardel.zone_offset(iana, (local_time - interval '6 months') AT TIME ZONE 'UTC');
    o2 interval := vardel.zone_offset(iana, (local_time - interval '3 months') AT TIME ZONE 'UTC');
    o3 interval := vardel.zone_offset(iana, (local_time + interval '3 months') AT TIME ZONE 'UTC');
    o4 interval := vardel.zone_offset(iana, (local_time + interval '6 months') AT TIME ZONE 'UTC');
    std interval := least(o0, o1, o2, o3, o4);
    dst interval := greatest(o0, o1, o2, o3, o4);
    as_std timestamptz := (local_time - std) AT TIME ZONE 'UTC';
    as_dst timestamptz := (local_time - dst) AT TIME ZONE 'UTC';
    std_ok boolean := vardel.zone_offset(iana, as_std) = std;
    dst_ok boolean := vardel.zone_offset(iana, as_dst) = dst;
BEGIN
    IF daylight IS NULL THEN
        IF std_ok AND dst_ok AND std <> dst THEN
            why := format('local time is in the hour that %s repeats (clock moved back)', iana);
            fits := true;
        ELSIF std_ok THEN
            utc := as_std;
        ELSIF dst_ok THEN
            utc := as_dst;
        ELSE
            why := format('no such local time in %s (clock moved forward)', iana);
        END IF;
    ELSIF NOT daylight THEN
        IF std_ok THEN
            utc := as_std;
        ELSIF dst_ok THEN
            why := format('standard name, but %s keeps daylight time then', iana);
        ELSE
            why := format('no such local time in %s (clock moved forward)', iana);
        END IF;
    ELSE
        IF std = dst THEN
            why := format('daylight name, but %s has no daylight time around then', iana);
        ELSIF dst_ok THEN
            utc := as_dst;
        ELSIF std_ok THEN
            why := format('daylight name, but %s keeps standard time then', iana);
        ELSE
            why := format('no such local time in %s (clock moved forward)', iana);
        END IF;
    END IF;
    fits := coalesce(fits, utc IS NOT NULL);
END $$;

-- The time text is fixed-width up to the zone name:
-- `Mon Jan 05 02:03:55 PM ` is 23 characters.
CREATE OR REPLACE FUNCTION vardel.record_instant(time_text text, file_name text, host text,
                                                 OUT utc timestamptz, OUT unknown text)
LANGUAGE plpgsql STABLE PARALLEL SAFE AS $$
DECLARE
    day date;
    mon int;
    dom int;
    hour int;
    mins int;
    secs int;
    zone text;
    y int;
    local_date date;
    candidate date;
    local_time timestamp;
    host_iana text;
    ianas text[];
    flags boolean[];
    z record;
    fitting text[];
    misfits text[];
    first_utc timestamptz;
    first_why text;
    differ boolean := false;
    site text;
BEGIN
    IF time_text IS NULL THEN
        unknown := 'no time text';
        RETURN;
    END IF;
    -- The writer could not convert the time: the seconds themselves.
    IF left(time_text, 13) = 'UNKNOWN_TIME ' AND length(time_text) BETWEEN 14 AND 23
       AND translate(substr(time_text, 14), '0123456789', '') = '' THEN
        IF substr(time_text, 14)::bigint > 4294967295 THEN
            unknown := format('%s is past 32 bits', time_text);
        ELSE
            utc := to_timestamp(substr(time_text, 14)::bigint);
        END IF;
        RETURN;
    END IF;
    -- Character tests rather than a regular expression: this runs per record.
    mon := strpos('JanFebMarAprMayJunJulAugSepOctNovDec', substr(time_text, 5, 3));
    IF length(time_text) < 24 OR mon % 3 <> 1
       OR strpos('SunMonTueWedThuFriSat', substr(time_text, 1, 3)) % 3 <> 1
       OR substr(time_text, 4, 1) <> ' ' OR substr(time_text, 8, 1) <> ' '
       OR translate(substr(time_text, 9, 15), '0123456789', '##########')
          NOT IN ('## ##:##:## AM ', '## ##:##:## PM ') THEN
        unknown := 'not a time text';
        RETURN;
    END IF;
    mon := mon / 3 + 1;
    dom := substr(time_text, 9, 2)::int;
    hour := substr(time_text, 12, 2)::int;
    mins := substr(time_text, 15, 2)::int;
    secs := substr(time_text, 18, 2)::int;
    zone := substr(time_text, 24);
    IF hour NOT BETWEEN 1 AND 12 OR mins > 59 OR secs > 59 THEN
        unknown := format('no such time of day %s', substr(time_text, 12, 11));
        RETURN;
    END IF;
    hour := hour % 12 + CASE substr(time_text, 21, 2) WHEN 'PM' THEN 12 ELSE 0 END;

    day := vardel.file_day(file_name);
    IF day IS NULL THEN
        unknown := 'file name gives no day';
        RETURN;
    END IF;

    -- The year: of the three around the file's day, the one that puts the
    -- month and day nearest to it; the weekday must then agree.
    FOR y IN greatest(extract(year FROM day)::int - 1, 1) .. extract(year FROM day)::int + 1 LOOP
        IF dom BETWEEN 1 AND vardel.month_days(y, mon) THEN
            candidate := make_date(y, mon, dom);
            IF local_date IS NULL OR abs(candidate - day) < abs(local_date - day) THEN
                local_date := candidate;
            END IF;
        END IF;
    END LOOP;
    IF local_date IS NULL THEN
        unknown := format('no date %s near the file''s day %s', substr(time_text, 5, 6), day);
        RETURN;
    END IF;
    IF to_char(local_date::timestamp, 'Dy') <> substr(time_text, 1, 3) THEN
        unknown := format('weekday %s does not fit %s near the file''s day %s',
                          substr(time_text, 1, 3), substr(time_text, 5, 6), day);
        RETURN;
    END IF;
    local_time := local_date + make_interval(hours => hour, mins => mins, secs => secs);

    SELECT h.iana INTO host_iana FROM vardel.host_zones h WHERE h.host = record_instant.host;
    IF length(zone) <= 19 THEN
        SELECT c.ianas, c.daylight INTO ianas, flags FROM vardel.zone_cuts c WHERE c.cut = zone;
    ELSE
        -- Not cut by the writer: the name itself, never one it begins.
        SELECT array_agg(n.iana ORDER BY n.zone_key),
               array_agg(CASE WHEN n.both THEN NULL ELSE n.daylight END ORDER BY n.zone_key)
          INTO ianas, flags
          FROM (SELECT zone_key, iana, bool_or(daylight) AS daylight, count(*) > 1 AS both
                  FROM vardel.zone_names WHERE name = zone GROUP BY 1, 2) n;
    END IF;

    IF host_iana IS NOT NULL THEN
        -- The setting's zone; standard or daylight from the table where it
        -- knows the name and all its matches agree, else the zone decides.
        z := vardel.zone_instant(local_time, host_iana,
                                 CASE WHEN array_position(flags, NULL) IS NULL
                                       AND (true = ALL (flags) OR false = ALL (flags)) THEN flags[1] END);
        utc := z.utc;
        unknown := z.why;
        RETURN;
    END IF;

    -- A match counts only where its zone could have written the name then
    -- (Cancun keeps no daylight time, so a July `Eastern Daylight Ti` is New
    -- York's); the matches that fit must give the same instant. Where none
    -- fits, their own reasons.
    FOR i IN 1 .. coalesce(cardinality(ianas), 0) LOOP
        z := vardel.zone_instant(local_time, ianas[i], flags[i]);
        IF NOT z.fits THEN
            IF NOT z.why = ANY (coalesce(misfits, '{}')) THEN
                misfits := misfits || z.why;
            END IF;
        ELSE
            fitting := fitting || ianas[i];
            IF cardinality(fitting) = 1 THEN
                first_utc := z.utc;
                first_why := z.why;
            ELSIF z.utc IS DISTINCT FROM first_utc OR first_utc IS NULL THEN
                differ := true;
            END IF;
        END IF;
    END LOOP;
    IF coalesce(cardinality(ianas), 0) = 0 THEN
        unknown := format('unknown zone name "%s"', zone);
    ELSIF fitting IS NULL THEN
        unknown := array_to_string(misfits, '; ');
    ELSIF NOT differ THEN
        utc := first_utc;
        unknown := first_why;
    ELSE
        -- The site's zone (vardel.settings, 025_site_zone.sql) settles it
        -- where it is one of those that fit: the PC is taken to be there.
        site := (SELECT s.site_zone FROM vardel.settings s);
        IF site = ANY (fitting) THEN
            FOR i IN 1 .. cardinality(ianas) LOOP
                CONTINUE WHEN ianas[i] <> site;
                z := vardel.zone_instant(local_time, ianas[i], flags[i]);
                IF z.fits THEN
                    utc := z.utc;
                    unknown := z.why;
                    RETURN;
                END IF;
            END LOOP;
        END IF;
        unknown := format('%s "%s" matches zones with different offsets on that date (%s)',
                          CASE WHEN length(zone) = 19 THEN 'cut name' ELSE 'zone name' END, zone,
                          (SELECT string_agg(DISTINCT f, ', ') FROM unnest(fitting) f));
    END IF;
END $$;
