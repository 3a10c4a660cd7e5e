# VELK_STATIC_DEPS: the module as one self-contained file for wheels. PCRE2 and ICU's common
# library come from the static archives of Debian's libpcre2-dev and libicu-dev, ICU's data
# archive is replaced by an empty one (icu_static.cpp, which also
# makes up for libicuuc.a being compiled for executables), the C++ runtime is linked in, and every
# symbol but PyInit_velk_anonymizer is hidden. Defines the interface target velk_deps, and
# velk_self_contained_module(target) for the module's link options.

find_library(VELK_PCRE2_ARCHIVE NAMES libpcre2-8.a HINTS ${PCRE2_LIBRARY_DIRS})
find_library(VELK_ICUUC_ARCHIVE NAMES libicuuc.a HINTS ${ICU_LIBRARY_DIRS})
foreach(archive VELK_PCRE2_ARCHIVE VELK_ICUUC_ARCHIVE)
  if(NOT ${archive})
    message(FATAL_ERROR "VELK_STATIC_DEPS: ${archive} not found (libpcre2-dev, libicu-dev)")
  endif()
endforeach()

add_library(velk_icu_static STATIC "${PROJECT_SOURCE_DIR}/cmake/icu_static.cpp")
target_include_directories(velk_icu_static PRIVATE ${ICU_INCLUDE_DIRS})

add_library(velk_deps INTERFACE)
target_include_directories(velk_deps INTERFACE ${PCRE2_INCLUDE_DIRS} ${ICU_INCLUDE_DIRS})
target_compile_definitions(velk_deps INTERFACE PCRE2_STATIC)
# Order matters: libicuuc.a before icu_static.cpp, which defines what it refers to.
target_link_libraries(velk_deps INTERFACE "${VELK_PCRE2_ARCHIVE}" "${VELK_ICUUC_ARCHIVE}"
  velk_icu_static Threads::Threads ${CMAKE_DL_LIBS} m)

function(velk_self_contained_module target)
  set(map "${PROJECT_SOURCE_DIR}/cmake/module.map")
  target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc
    "LINKER:--version-script=${map}" "LINKER:--exclude-libs,ALL" "LINKER:--gc-sections")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${map}")
endfunction()
