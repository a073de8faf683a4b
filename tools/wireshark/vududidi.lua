-- A Wireshark dissector for the pcap files of 'kivhost run --pcap': the frames of a VXS-100
-- line as the driver sent and received them.
--
-- Each packet (link type 147, USER0) is one byte of direction (0 sent by the driver, 1
-- received), one byte of the line number, then the frame: LF ";" text ";" four hexadecimal
-- digits of CRC-16/XMODEM over the first ";" to the second, CR; an acknowledgement is LF "A" CR.
-- Commands to a controller c other than 0 begin their text with ">c".
--
--   wireshark -X lua_script:tools/wireshark/vududidi.lua line.pcap
--   tshark -X lua_script:tools/wireshark/vududidi.lua -r line.pcap -T fields \
--          -e vxs.dir -e vxs.line -e vxs.kind -e vxs.controller -e vxs.checksum.ok

local vxs = Proto("vxs", "VXS-100 line (kivhost trace)")

local f = {
    dir = ProtoField.string("vxs.dir", "Direction"),
    line = ProtoField.uint8("vxs.line", "Line"),
    kind = ProtoField.string("vxs.kind", "Kind"),
    controller = ProtoField.uint8("vxs.controller", "Controller"),
    text = ProtoField.string("vxs.text", "Text"),
    checksum = ProtoField.string("vxs.checksum", "Checksum"),
    checksum_ok = ProtoField.bool("vxs.checksum.ok", "Checksum valid"),
    event_time = ProtoField.string("vxs.event.time", "Controller time"),
    event_code = ProtoField.uint8("vxs.event.code", "Event code"),
    event_name = ProtoField.string("vxs.event.name", "Event"),
    event_unit = ProtoField.uint8("vxs.event.unit", "Unit (from 1)"),
    event_badge = ProtoField.string("vxs.event.badge", "Badge (hexadecimal)"),
    status_mode = ProtoField.string("vxs.status.mode", "Mode"),
    status_keys = ProtoField.string("vxs.status.keys", "Keys"),
    status_word = ProtoField.string("vxs.status.word", "Status word"),
    status_text = ProtoField.string("vxs.status.text", "Controller text"),
    status_analog = ProtoField.string("vxs.status.analog", "Analog inputs"),
    status_version = ProtoField.string("vxs.status.version", "Version"),
}
vxs.fields = {f.dir, f.line, f.kind, f.controller, f.text, f.checksum, f.checksum_ok,
              f.event_time, f.event_code, f.event_name, f.event_unit, f.event_badge,
              f.status_mode, f.status_keys, f.status_word, f.status_text, f.status_analog,
              f.status_version}

local bad_checksum = ProtoExpert.new("vxs.checksum.bad", "Checksum does not match",
                                     expert.group.CHECKSUM, expert.severity.ERROR)
local malformed = ProtoExpert.new("vxs.malformed", "Not a frame of the line",
                                  expert.group.MALFORMED, expert.severity.WARN)
vxs.experts = {bad_checksum, malformed}

-- The event codes in words, as kivhost run shows them.
local event_words = {
    [0] = "badge, door state 0", [7] = "door state 3", [8] = "door state 2",
    [9] = "door state 0", [10] = "door state 1", [13] = "reader communication 0",
    [14] = "reader communication 1", [15] = "reader 0", [16] = "reader 1",
    [17] = "badge (17)", [18] = "badge (18)", [19] = "power 0", [20] = "power 1",
    [21] = "battery 0", [22] = "battery 1", [25] = "badge (25)", [26] = "controller",
    [29] = "badge (29)", [30] = "badge (30)",
}

-- Wireshark's Lua (5.2) has no bitwise operators: its bit32 library, or the older bit.
local bits = bit32 or bit

local function crc16(text)
    local crc = 0
    for i = 1, #text do
        crc = bits.bxor(crc, bits.lshift(text:byte(i), 8))
        for _ = 1, 8 do
            if bits.band(crc, 0x8000) ~= 0 then
                crc = bits.band(bits.bxor(bits.lshift(crc, 1), 0x1021), 0xFFFF)
            else
                crc = bits.band(bits.lshift(crc, 1), 0xFFFF)
            end
        end
    end
    return crc
end

-- What a frame's text is, by its first letters (as the driver tells them).
local function kind_of(text, outgoing)
    if outgoing then
        return "command"
    end
    local first = text:sub(1, 1)
    if first == "V" then return "event" end
    if first == "L" then return "data answer" end
    if first == "S" and text:sub(3, 3) == "T" then return "status report" end
    if first == "S" or first == "T" or first == "A" then return "upload line" end
    if text == "" then return "end of upload" end
    return "other"
end

local function split(text, separator)
    local parts = {}
    for part in (text .. separator):gmatch("(.-)" .. separator) do
        parts[#parts + 1] = part
    end
    return parts
end

function vxs.dissector(buffer, pinfo, tree)
    if buffer:len() < 2 then
        return 0
    end
    pinfo.cols.protocol = "VXS-100"
    local outgoing = buffer(0, 1):uint() == 0
    local subtree = tree:add(vxs, buffer(), "VXS-100 line")
    subtree:add(f.dir, buffer(0, 1), outgoing and "out" or "in")
    subtree:add(f.line, buffer(1, 1))
    local frame = buffer(2):string()
    local body = buffer(2)
    local info
    if frame == "\nA\r" or frame == "\nA" then
        subtree:add(f.kind, body, "acknowledgement")
        info = "acknowledgement"
    else
        local text, digits = frame:match("^\n;(.*);(%x%x%x%x)\r?$")
        if text == nil then
            subtree:add(f.kind, body, "malformed")
            subtree:add_proto_expert_info(malformed)
            pinfo.cols.info = (outgoing and "out " or "in ") .. "malformed"
            return buffer:len()
        end
        local controller = 0
        local command = text
        local prefix = text:match("^>(%d)")
        if prefix ~= nil then
            controller = tonumber(prefix)
            command = text:sub(3)
        end
        local kind = kind_of(command, outgoing)
        subtree:add(f.kind, body, kind)
        if outgoing then
            subtree:add(f.controller, body, controller)
        end
        subtree:add(f.text, body, command)
        local ok = crc16(";" .. text .. ";") == tonumber(digits, 16)
        subtree:add(f.checksum, body, digits)
        local item = subtree:add(f.checksum_ok, body, ok)
        if not ok then
            item:add_proto_expert_info(bad_checksum)
        end
        info = kind .. (outgoing and (" to controller " .. controller) or "") .. ": " .. command
        if kind == "event" then
            local parts = split(command:sub(3), ",")
            local code = tonumber(parts[2] or "")
            subtree:add(f.event_time, body, parts[1] or "")
            if code ~= nil then
                subtree:add(f.event_code, body, code)
                local words = event_words[code] or ("event " .. code)
                subtree:add(f.event_name, body, words)
                info = "event " .. code .. " " .. words
            end
            local unit = tonumber(parts[3] or "")
            if unit ~= nil then
                subtree:add(f.event_unit, body, unit)
                info = info .. ", unit " .. unit
            end
            subtree:add(f.event_badge, body, parts[4] or "")
        elseif kind == "status report" then
            local parts = split(command, ",")
            subtree:add(f.status_mode, body, parts[2] or "")
            subtree:add(f.status_keys, body, parts[3] or "")
            subtree:add(f.status_word, body, parts[4] or "")
            subtree:add(f.status_text, body, parts[5] or "")
            subtree:add(f.status_analog, body, table.concat({parts[6] or "", parts[7] or "",
                                                             parts[8] or "", parts[9] or ""}, " "))
            subtree:add(f.status_version, body, parts[10] or "")
        end
        if not ok then
            info = info .. " [bad checksum]"
        end
    end
    pinfo.cols.info = (outgoing and "out " or "in ") .. "L" .. buffer(1, 1):uint() .. " " .. info
    return buffer:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, vxs)
