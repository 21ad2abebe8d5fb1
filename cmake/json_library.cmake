# tovrel_json: nlohmann/json, header-only, from the build machine's nlohmann-json3-dev. A cross
# build for Windows gets that one folder of headers and nothing else of the machine's
# /usr/include, whose other headers are Linux's: the folder is linked into the build tree and
# that is the include directory.
add_library(tovrel_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_path(TOVREL_JSON_INCLUDE_DIR nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT TOVREL_JSON_INCLUDE_DIR)
    message(FATAL_ERROR "nlohmann/json.hpp not found in /usr/include (package nlohmann-json3-dev)")
  endif()
  set(tovrel_json_only ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${tovrel_json_only})
  file(CREATE_LINK ${TOVREL_JSON_INCLUDE_DIR}/nlohmann ${tovrel_json_only}/nlohmann SYMBOLIC)
  target_include_directories(tovrel_json SYSTEM INTERFACE ${tovrel_json_only})
else()
  find_package(nlohmann_json 3.9 REQUIRED)
  target_link_libraries(tovrel_json INTERFACE nlohmann_json::nlohmann_json)
endif()
