# Sourced by the scripts: what this machine runs, and which Windows tree
# (i686 or x86-64) runs here under which Wine.

# machine_runs_32bit: true when the kernel starts 32-bit (i386) programs.
# Many current kernels do not (IA-32 emulation off): every i386 program,
# 32-bit Wine among them, then fails with "Exec format error". The probe is
# the smallest i386 program, 93 bytes that only call exit(0); nothing needs
# to be installed or built to run it. The answer is kept for the script.
machine_runs_32bit() {
  if [ -z "${machine_32bit:-}" ]; then
    local probe
    probe=$(mktemp "${TMPDIR:-/tmp}/shiftlamp-i386.XXXXXX")
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'`
          `'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00'`
          `'\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'`
          `'\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'`
          `'\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
    chmod +x "$probe"
    if "$probe" 2>/dev/null; then machine_32bit=yes; else machine_32bit=no; fi
    rm -f "$probe"
  fi
  [ "$machine_32bit" = yes ]
}

# windows_tree ARCH: sets tree_arch (i686 or x86-64), tree_preset and
# tree_dir (build/windows or build/windows64, relative to the checkout) for
# ARCH: i686, x86-64, or auto (i686 where 32-bit programs run, since it is
# the product; x86-64 elsewhere). A 64-bit tree runs under 64-bit Wine:
# its launchers then come first on PATH. Returns 1 for another ARCH.
windows_tree() {
  case $1 in
    auto) if machine_runs_32bit; then windows_tree i686; else windows_tree x86-64; fi ;;
    i686) tree_arch=i686 tree_preset=windows tree_dir=build/windows ;;
    x86-64 | x86_64 | x64 | amd64)
      tree_arch=x86-64 tree_preset=windows64 tree_dir=build/windows64
      local scripts
      scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
      case ":$PATH:" in *":$scripts/wine64:"*) ;; *) export PATH="$scripts/wine64:$PATH" ;; esac
      ;;
    *) return 1 ;;
  esac
}
