#!/bin/sh
# The server command of the Windows stage's end-to-end run (tools/test-windows.sh):
#   wine-lane.sh PROGRAM [ARGUMENTS...]
# runs PROGRAM under Wine in the prefix of the lane CTest gave the case. Each
# lane has a prefix and a Wine server of its own, so two servers under test
# never share one (CTEST_RESOURCE_GROUP_0_WINE is "id:N,slots:1"; lane 0,
# or a case run outside CTest, uses $WINEPREFIX itself, lane N $WINEPREFIX-N).
lane=0
case "${CTEST_RESOURCE_GROUP_0_WINE:-}" in
  id:*)
    lane=${CTEST_RESOURCE_GROUP_0_WINE#id:}
    lane=${lane%%,*}
    ;;
esac
if [ "$lane" != 0 ]; then
  WINEPREFIX="$WINEPREFIX-$lane"
  export WINEPREFIX
fi
exec wine "$@"
