-- wrk script: every request carries its own HTTP Digest (qop=auth) answer, SHA-256 or
-- MD5, as a real client of the reference host sends it. The nonce counter goes up by one
-- per request, so the host's replay check accepts each of them once.
--
-- wrk -tN -cN ... -s wrk_digest.lua URL -- ALGORITHM USER REALM OPAQUE HA1 HA2 NCBASE NONCE...
--   ALGORITHM is SHA-256 or MD5; HA1 = H(user:realm:password), HA2 = H(method:uri), both
--   as lower-case hex with that algorithm's H;
--   OPAQUE and one distinct NONCE per wrk thread from 401 challenges of the same URI;
--   counters start after NCBASE, so that later runs can go on with the same nonces.
-- Run one connection per thread: each connection then has a nonce of its own and sends
-- its counters in order (the host refuses counters that arrive too far out of order).
-- "selftest" as the only argument checks both hashes against known digests and exits.
-- With LPR_WRK_BODY naming a file, every request is a POST of that file's bytes (HA2
-- then is H(POST:uri)); without it, a GET.

local bit = require("bit")
local band, bor, bxor, bnot = bit.band, bit.bor, bit.bxor, bit.bnot
local lshift, rshift, rol, ror = bit.lshift, bit.rshift, bit.rol, bit.ror
local tobit, tohex, bswap = bit.tobit, bit.tohex, bit.bswap

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

-- SHA-256's constants: the first 32 bits of the fractional parts of the square roots of
-- the first 8 primes (initial state) and of the cube roots of the first 64 (rounds).
local PRIMES = {}
do
  local n = 2
  while #PRIMES < 64 do
    local prime = true
    for _, p in ipairs(PRIMES) do
      if n % p == 0 then prime = false break end
    end
    if prime then PRIMES[#PRIMES + 1] = n end
    n = n + 1
  end
end
local function fraction_bits(x)
  return tobit(math.floor((x - math.floor(x)) * 4294967296))
end
local H256, K256 = {}, {}
for i = 1, 8 do H256[i] = fraction_bits(math.sqrt(PRIMES[i])) end
for i = 0, 63 do K256[i] = fraction_bits(PRIMES[i + 1] ^ (1 / 3)) end

local W = {}

local function sha256(msg)
  local len = #msg
  local bits = len * 8
  msg = msg .. "\128" .. string.rep("\0", (55 - len) % 64)
      .. string.char(0, 0, 0, 0, band(rshift(bits, 24), 255), band(rshift(bits, 16), 255),
                     band(rshift(bits, 8), 255), band(bits, 255))
  local h1, h2, h3, h4, h5, h6, h7, h8 = unpack(H256)
  for chunk = 1, #msg, 64 do
    for i = 0, 15 do
      local b1, b2, b3, b4 = msg:byte(chunk + i * 4, chunk + i * 4 + 3)
      W[i] = bor(lshift(b1, 24), lshift(b2, 16), lshift(b3, 8), b4)
    end
    for i = 16, 63 do
      local w15, w2 = W[i - 15], W[i - 2]
      local s0 = bxor(ror(w15, 7), ror(w15, 18), rshift(w15, 3))
      local s1 = bxor(ror(w2, 17), ror(w2, 19), rshift(w2, 10))
      W[i] = tobit(W[i - 16] + s0 + W[i - 7] + s1)
    end
    local a, b, c, d, e, f, g, h = h1, h2, h3, h4, h5, h6, h7, h8
    for i = 0, 63 do
      local t1 = tobit(h + bxor(ror(e, 6), ror(e, 11), ror(e, 25))
                     + bxor(band(e, f), band(bnot(e), g)) + K256[i] + W[i])
      local t2 = tobit(bxor(ror(a, 2), ror(a, 13), ror(a, 22))
                     + bxor(band(a, b), band(a, c), band(b, c)))
      h, g, f, e, d, c, b, a = g, f, e, tobit(d + t1), c, b, a, tobit(t1 + t2)
    end
    h1, h2, h3, h4 = tobit(h1 + a), tobit(h2 + b), tobit(h3 + c), tobit(h4 + d)
    h5, h6, h7, h8 = tobit(h5 + e), tobit(h6 + f), tobit(h7 + g), tobit(h8 + h)
  end
  return tohex(h1) .. tohex(h2) .. tohex(h3) .. tohex(h4) .. tohex(h5) .. tohex(h6)
      .. tohex(h7) .. tohex(h8)
end

local algorithm, hash
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
      { md5, "", "d41d8cd98f00b204e9800998ecf8427e" },
      { md5, "abc", "900150983cd24fb0d6963f7d28e17f72" },
      { md5, string.rep("a", 100), "36a92cc94a9e0fa21f625f8bfb007adf" },
      { sha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" },
      { sha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad" },
      { sha256, string.rep("a", 100),
        "2816597888e4a0d3a36b82b83316ab32680eb8f00f8cd3b904d681246d285a0e" },
    }
    for _, case in ipairs(cases) do
      local got = case[1](case[2])
      if got ~= case[3] then
        io.stderr:write("digest wrong for a text of " .. #case[2] .. " bytes: " .. got .. "\n")
        os.exit(1)
      end
    end
    io.write("md5 and sha-256 ok\n")
    os.exit(0)
  end
  algorithm = args[1]
  if algorithm == "SHA-256" then hash = sha256
  elseif algorithm == "MD5" then hash = md5
  else
    io.stderr:write("wrk_digest.lua: the algorithm is SHA-256 or MD5, not " .. tostring(algorithm) .. "\n")
    os.exit(1)
  end
  user, realm, opaque, ha1, ha2 = args[2], args[3], args[4], args[5], args[6]
  nc = tonumber(args[7])
  nonce = args[7 + thread_index]
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
  local response = hash(ha1 .. ":" .. nonce .. ":" .. ncText .. ":" .. cnonce .. ":auth:" .. ha2)
  local auth = 'Digest username="' .. user .. '", realm="' .. realm .. '", nonce="' .. nonce
      .. '", uri="' .. uri .. '", algorithm=' .. algorithm .. ', response="' .. response .. '", opaque="'
      .. opaque .. '", qop=auth, nc=' .. ncText .. ', cnonce="' .. cnonce .. '"'
  if body ~= nil then
    return wrk.format("POST", uri, { ["Authorization"] = auth,
                                     ["Content-Type"] = "application/json" }, body)
  end
  return wrk.format("GET", uri, { ["Authorization"] = auth })
end
