# The Windows bodies of the platform seam (included from platform/CMakeLists.txt).
# Same library names as the Linux build, so the folders above link them unchanged.
set(LP_PLATFORM_DIR ${CMAKE_CURRENT_SOURCE_DIR}/win32)

add_library(lp_plat_base STATIC
  ${LP_PLATFORM_DIR}/paths.cpp
  ${LP_PLATFORM_DIR}/com_path.cpp)
target_include_directories(lp_plat_base PUBLIC ${PROJECT_SOURCE_DIR})

add_library(lp_plat_console STATIC ${LP_PLATFORM_DIR}/console_keys.cpp)
target_include_directories(lp_plat_console PUBLIC ${PROJECT_SOURCE_DIR})

add_library(lp_plat_sound STATIC ${LP_PLATFORM_DIR}/sound.cpp)
target_include_directories(lp_plat_sound PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lp_plat_sound PRIVATE winmm)

add_library(lp_plat_sockets STATIC ${LP_PLATFORM_DIR}/sockets.cpp)
target_include_directories(lp_plat_sockets PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lp_plat_sockets PUBLIC ws2_32 iphlpapi)

add_library(lp_plat_waitable STATIC ${LP_PLATFORM_DIR}/waitable.cpp)
target_include_directories(lp_plat_waitable PUBLIC ${PROJECT_SOURCE_DIR})

add_library(lp_plat_serial STATIC ${LP_PLATFORM_DIR}/serial_comm.cpp)
target_link_libraries(lp_plat_serial PUBLIC lp_plat_base)

add_library(lp_plat_com_probe STATIC ${LP_PLATFORM_DIR}/com_probe.cpp)
target_link_libraries(lp_plat_com_probe PUBLIC lp_plat_base)

add_library(lp_plat_resolve STATIC ${LP_PLATFORM_DIR}/resolve.cpp)
target_include_directories(lp_plat_resolve PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lp_plat_resolve PUBLIC ws2_32)

# Start-up facilities: the executable's version block (VERSIONINFO, read back with
# GetFileVersionInfoA) and path, the Windows version record, and starting programs.
enable_language(RC)
add_library(lp_plat_startup STATIC
  ${LP_PLATFORM_DIR}/version_block.cpp
  ${LP_PLATFORM_DIR}/os_version.cpp
  ${LP_PLATFORM_DIR}/launch.cpp)
target_link_libraries(lp_plat_startup PUBLIC lp_plat_base version)
# lp_version_rc(<out.rc> <PrivateBuild> <SpecialBuild>): a version resource to compile
# into an executable.
function(lp_version_rc out private special)
  set(LP_RC_PRIVATE_BUILD "${private}")
  set(LP_RC_SPECIAL_BUILD "${special}")
  configure_file(${PROJECT_SOURCE_DIR}/platform/win32/version.rc.in ${out} @ONLY)
endfunction()
lp_version_rc(${PROJECT_BINARY_DIR}/platform/version.rc "${LP_PRIVATE_BUILD}" "${LP_SPECIAL_BUILD}")
set(LP_VERSION_EMBED_SOURCE ${PROJECT_BINARY_DIR}/platform/version.rc CACHE INTERNAL "")

# Network adapters and addresses, the host name (GetAdaptersAddresses, Winsock).
add_library(lp_plat_netif STATIC ${LP_PLATFORM_DIR}/netif.cpp)
target_link_libraries(lp_plat_netif PUBLIC lp_plat_base ws2_32 iphlpapi shell32 ole32)

# The link doctor's facts: adapters and routes (IP Helper), the firewall's rules (COM),
# the TCP listener's process.
add_library(lp_plat_linkfacts STATIC
  ${LP_PLATFORM_DIR}/netdiag.cpp
  ${LP_PLATFORM_DIR}/firewall.cpp
  ${LP_PLATFORM_DIR}/holders.cpp)
target_include_directories(lp_plat_linkfacts PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lp_plat_linkfacts PUBLIC ws2_32 iphlpapi ole32 oleaut32)

# Device and system queries: WMI through COM.
add_library(lp_plat_sysquery STATIC ${LP_PLATFORM_DIR}/sysquery.cpp)
target_include_directories(lp_plat_sysquery PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lp_plat_sysquery PUBLIC lp_plat_base ole32 oleaut32 wbemuuid)
