#!/usr/bin/env bash
# chain_wine_test.sh WITH_BOARD PREFIX LIBRARY WINE_RUN SEND_EXE WORKDIR
#
# The chain cases of chain_test.sh for shiftlamp-send.exe under Wine, the
# board on COM12.
exec "$(dirname "$0")/chain_test.sh" --wine "$@"
