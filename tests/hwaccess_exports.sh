#!/bin/sh
# Checks that the hardware access library exports exactly its interface.
#   hwaccess_exports.sh elf nm     libqvzyl.so   (dynamic symbols defined by the library)
#   hwaccess_exports.sh pe  OBJDUMP Qvzyl.Dll    (the PE export table)
set -eu
format=$1 tool=$2 library=$3
. "$(dirname "$0")/export_table.sh"

# The members of CQVACS in their Itanium spellings; QVLONG/QVDWORD are long/unsigned long on
# Windows (l/m) and int32_t/uint32_t on Linux (i/j).
if [ "$format" = pe ]; then L=l D=m; else L=i D=j; fi
expected=$(sort <<LIST
QV_InitLibrary
QV_ExitLibrary
QV_GetLastError
QV_SetWindowMessage
QV_GetPciDeviceCount
QV_GetPciCommandReg
fnQVACS
nQVACS
_ZN6CQVACS13CurrentStatusE
_ZN6CQVACSC1Ev
_ZN6CQVACSC2Ev
_ZN6CQVACSD1Ev
_ZN6CQVACSD2Ev
_ZN6CQVACSaSERKS_
_ZN6CQVACS10GetSysPathEPc
_ZN6CQVACS7Is64WinEPi
_ZN6CQVACS12LoadQVDriverEPc
_ZN6CQVACS14ManageQVDriverEPcS0_i
_ZN6CQVACS15SearchPCIConfigE${L}${L}P${L}
_ZN6CQVACS10dwReadPortEPvt
_ZN6CQVACS14InstallServiceEP11SC_HANDLE__PKcS3_
_ZN6CQVACS13StartQVDriverEP11SC_HANDLE__PKc
_ZN6CQVACS12StopQVDriverEP11SC_HANDLE__PKc
_ZN6CQVACS14RemoveQVDriverEP11SC_HANDLE__PKc
_ZN6CQVACS11dwWritePortEPvt${D}
LIST
)

actual=$(export_table "$format" "$tool" "$library")
compare_exports "$library" "$expected" "$actual"
echo "$library exports exactly the $(echo "$expected" | wc -l) interface symbols"
