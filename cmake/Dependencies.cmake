# Every dependency is a Debian package installed by ./dev deps.
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(PkgConfig REQUIRED)

find_path(STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)
find_library(STB_STATIC_LIBRARY NAMES libstb.a REQUIRED)
find_library(TURBOJPEG_LIBRARY NAMES turbojpeg REQUIRED)
find_path(TURBOJPEG_INCLUDE_DIR turbojpeg.h REQUIRED)

add_library(ofx_api INTERFACE)
target_include_directories(ofx_api INTERFACE ${PROJECT_SOURCE_DIR}/src)
