-- wrk script: every request carries its own HTTP Digest (MD5, qop=auth) answer, as a
-- real client of the reference host sends it. The nonce counter goes up by one per
-- request, so the host's replay check accepts each of them once.
--
-- wrk -tN -cN ... -s wrk_digest.lua URL -- USER REALM OPAQUE HA1 HA2 NCBASE NONCE...
--   HA1 = MD5(user:realm:password), HA2 = MD5(method:uri), both as lower-case hex;
--   OPAQUE and one distinct NONCE per wrk thread from 401 challenges of the same URI;
--   counters start after NCBASE, so that later runs can go on with the same nonces.
-- Run one connection per thread: each connection then has a nonce of its own and sends
-- its counters in order (the host refuses counters that arrive too far out of order).
-- "selftest" as the only argument checks MD5 against known digests and exits.
-- With LPR_WRK_BODY naming a file, every request is a POST of that file's bytes (HA2
-- then is MD5(POST:uri)); without it, a GET.

local bit = require("bit")
local band, bor, bxor, bnot = bit.band, bit.bor, bit.bxor, bit.bnot
local lshift, rol, tobit, tohex, bswap = bit.lshift, bit.rol, bit.tobit, bit.tohex, bit.bswap

local K = {}
for i = 0, 63 do
  K[i] = tobit(math.floor(math.abs(math.sin(i + 1)) * 4294967296))
end
local S = {
  7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
  5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20,
  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
}
local G = {}
for i = 0, 63 do
  if i < 16 then G[i] = i
  elseif i < 32 then G[i] = (5 * i + 1) % 16
  elseif i < 48 then G[i] = (3 * i + 5) % 16
  else G[i] = (7 * i) % 16 end
end

local M = {}

local function md5(msg)
  local len = #msg
  local bits = len * 8
  msg = msg .. "\128" .. string.rep("\0", (55 - len) % 64)
      .. string.char(band(bits, 255), band(bit.rshift(bits, 8), 255),
                     band(bit.rshift(bits, 16), 255), band(bit.rshift(bits, 24), 255),
                     0, 0, 0, 0)
  local a0, b0, c0, d0 = tobit(0x67452301), tobit(0xefcdab89), tobit(0x98badcfe), tobit(0x10325476)
  for chunk = 1, #msg, 64 do
    for i = 0, 15 do
      local b1, b2, b3, b4 = msg:byte(chunk + i * 4, chunk + i * 4 + 3)
      M[i] = bor(b1, lshift(b2, 8), lshift(b3, 16), lshift(b4, 24))
    end
    local A, B, C, D = a0, b0, c0, d0
    for i = 0, 63 do
      local F
      if i < 16 then F = bor(band(B, C), band(bnot(B), D))
      elseif i < 32 then F = bor(band(D, B), band(bnot(D), C))
      elseif i < 48 then F = bxor(B, C, D)
      else F = bxor(C, bor(B, bnot(D))) end
      F = tobit(F + A + K[i] + M[G[i]])
      A, D, C = D, C, B
      B = tobit(B + rol(F, S[i + 1]))
    end
    a0, b0, c0, d0 = tobit(a0 + A), tobit(b0 + B), tobit(c0 + C), tobit(d0 + D)
  end
  return tohex(bswap(a0)) .. tohex(bswap(b0)) .. tohex(bswap(c0)) .. tohex(bswap(d0))
end

local user, realm, opaque, ha1, ha2, uri, body
local nc = 0
local cnonce = "0a4f113b"

-- Runs in the main Lua state, once per thread: hands each thread its own nonce.
local threads = 0
function setup(thread)
  threads = threads + 1
  thread:set("thread_index", threads)
end

function init(args)
  if args[1] == "selftest" then
    local cases = {
      [""] = "d41d8cd98f00b204e9800998ecf8427e",
      ["abc"] = "900150983cd24fb0d6963f7d28e17f72",
      [string.rep("a", 100)] = "36a92cc94a9e0fa21f625f8bfb007adf",
    }
    for text, digest in pairs(cases) do
      if md5(text) ~= digest then
        io.stderr:write("md5 wrong for a text of " .. #text .. " bytes: " .. md5(text) .. "\n")
        os.exit(1)
      end
    end
    io.write("md5 ok\n")
    os.exit(0)
  end
  user, realm, opaque, ha1, ha2 = args[1], args[2], args[3], args[4], args[5]
  nc = tonumber(args[6])
  nonce = args[6 + thread_index]
  if nonce == nil then
    io.stderr:write("wrk_digest.lua: one nonce per thread is needed\n")
    os.exit(1)
  end
  uri = wrk.path
  local bodyFile = os.getenv("LPR_WRK_BODY")
  if bodyFile ~= nil and bodyFile ~= "" then
    local f = assert(io.open(bodyFile, "rb"))
    body = f:read("*a")
    f:close()
  end
end

function request()
  nc = nc + 1
  local ncText = string.format("%08x", nc)
  local response = md5(ha1 .. ":" .. nonce .. ":" .. ncText .. ":" .. cnonce .. ":auth:" .. ha2)
  local auth = 'Digest username="' .. user .. '", realm="' .. realm .. '", nonce="' .. nonce
      .. '", uri="' .. uri .. '", algorithm=MD5, response="' .. response .. '", opaque="'
      .. opaque .. '", qop=auth, nc=' .. ncText .. ', cnonce="' .. cnonce .. '"'
  if body ~= nil then
    return wrk.format("POST", uri, { ["Authorization"] = auth,
                                     ["Content-Type"] = "application/json" }, body)
  end
  return wrk.format("GET", uri, { ["Authorization"] = auth })
end
