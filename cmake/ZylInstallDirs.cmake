# Where the product installs. Windows: one folder (the MSI's Tavik\VokZyl\) for the service, its
# library and the client. Linux: the service and its library in a root-owned folder of their own,
# the client on the PATH, the unit in the prefix's lib/systemd/system, so that an install writes
# nothing outside its prefix; the .deb asks for /lib/systemd/system, where Debian 12 keeps its
# packages' units (scripts/package.sh). The unit runs /usr/lib/vokzyl/VokZylControl, where the
# .deb (prefix /usr) puts it: an install under another prefix gets a unit that names the
# packaged path.
if(WIN32)
  set(CMAKE_INSTALL_BINDIR ".")
  set(ZYL_INSTALL_PRIVATEDIR ".")
else()
  set(ZYL_INSTALL_PRIVATEDIR "lib/vokzyl")
  set(ZYL_INSTALL_UNITDIR "lib/systemd/system" CACHE STRING
      "Where the systemd unit goes (relative: under the install prefix)")
endif()
include(GNUInstallDirs)
