# What the headless probe's package installs from data/ and docs/.
include(${CMAKE_CURRENT_LIST_DIR}/manpage.cmake)
wirelane_manpage(wirelane-probe.1 probe)
