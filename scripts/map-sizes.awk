# Sums the loaded sections of a GNU ld map (-Wl,-Map) by what they are for;
# prints "bytes<TAB>part" lines. Used by bench.sh for the size table.
function hex(s,   i, n) {
  n = 0; s = tolower(substr(s, 3))
  for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
  return n
}
function add(sec, addr, size, obj,   k) {
  if (sec ~ /^\.(debug|bss|stab)/ || addr + 0 == 0) return
  if (sec ~ /^\.reloc/) k = "base relocations (address space layout randomisation)"
  else if (obj ~ /libqz_|\.cpp\.obj|ltrans/) k = "framework and demo code"
  else if (obj ~ /libstdc\+\+|libsupc|libgcc_eh|libgcc\.a/) k = "C++ exception runtime and unwinder"
  else if (obj ~ /pthread/) k = "winpthread (posix thread model only)"
  else if (obj ~ /pformat|gdtoa|dmisc|gmisc|-misc\.o|mingw_v?s?n?printf|mingw_vfprintf/) k = "MinGW's C99 printf"
  else k = "C runtime start-up and import stubs"
  sum[k] += size
}
{
  if (pending != "") {
    if (match($0, /^[ \t]+0x[0-9a-f]+[ \t]+0x[0-9a-f]+[ \t]+/)) {
      split($0, f, " "); add(pending, hex(f[1]), hex(f[2]), f[3])
    }
    pending = ""
  }
  if ($0 ~ /^ \.[A-Za-z0-9_.$]+[ \t]+0x[0-9a-f]+[ \t]+0x[0-9a-f]+[ \t]+/) add($1, hex($2), hex($3), $4)
  else if ($0 ~ /^ \.[A-Za-z0-9_.$]+$/) pending = $1
}
END { for (k in sum) printf "%d\t%s\n", sum[k], k }
