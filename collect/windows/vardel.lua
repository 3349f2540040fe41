-- Readies one day-file record for newline-framed syslog: its %, CR and LF
-- escaped (the collector turns them back), the day file's name, the PC.
function vardel_record(tag, timestamp, record)
    local text = record["log"] or ""
    text = text:gsub("%%", "%%25"):gsub("\r", "%%0D"):gsub("\n", "%%0A")
    record["log"] = text
    record["file"] = string.match(record["path"] or "", "([^\\/]+)$") or "-"
    record["host"] = os.getenv("COMPUTERNAME") or "-"
    record["app"] = "vardel"
    return 1, timestamp, record
end
