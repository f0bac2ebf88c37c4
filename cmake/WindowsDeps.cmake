# Dependencies of the Windows cross build.
set(CORVENA_RTAUDIO_PREFIX "" CACHE PATH "RtAudio 6 built for Windows (scripts/rtaudio6.sh PREFIX windows)")
find_package(RtAudio 6 CONFIG REQUIRED PATHS ${CORVENA_RTAUDIO_PREFIX}/share/rtaudio NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
add_library(corvena_rtaudio INTERFACE)
target_link_libraries(corvena_rtaudio INTERFACE RtAudio::rtaudio)
# The back ends the library was built with; its header lays out its types by them.
target_compile_definitions(corvena_rtaudio INTERFACE __WINDOWS_DS__ __WINDOWS_WASAPI__)

# Static libraries built from Debian's sources, each in a prefix of its own.
function(corvena_windows_library target prefix)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${prefix}/include)
  foreach(name ${ARGN})
    if(NOT EXISTS ${prefix}/lib/lib${name}.a)
      message(FATAL_ERROR "${prefix}/lib/lib${name}.a is missing: build it with scripts/windows-build.sh")
    endif()
    target_link_libraries(${target} INTERFACE ${prefix}/lib/lib${name}.a)
  endforeach()
endfunction()

# Double precision for the tuner, single precision (fftwf_) for the convolver.
set(CORVENA_FFTW_PREFIX "" CACHE PATH "FFTW built for Windows (scripts/fftw-windows.sh PREFIX)")
corvena_windows_library(corvena_fftw3 ${CORVENA_FFTW_PREFIX} fftw3 fftw3f)
# Without its external codec libraries.
set(CORVENA_SNDFILE_PREFIX "" CACHE PATH "libsndfile built for Windows (scripts/sndfile-windows.sh PREFIX)")
corvena_windows_library(corvena_sndfile ${CORVENA_SNDFILE_PREFIX} sndfile)
set(CORVENA_SOXR_PREFIX "" CACHE PATH "libsoxr built for Windows (scripts/soxr-windows.sh PREFIX)")
corvena_windows_library(corvena_soxr ${CORVENA_SOXR_PREFIX} soxr)

# nlohmann JSON is header-only; only its own folder is put on the include path,
# never the build machine's /usr/include (its C headers are not Windows').
set(CORVENA_JSON_INCLUDE "/usr/include/nlohmann" CACHE PATH "Folder holding json.hpp")
set(json_root ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${json_root})
file(CREATE_LINK ${CORVENA_JSON_INCLUDE} ${json_root}/nlohmann SYMBOLIC)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${json_root})
add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

if(CORVENA_BUILD_TESTS)
  set(CORVENA_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources (Debian: googletest)")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${CORVENA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# M_PI and friends, which a strict C++17 mode hides in MinGW's <cmath>.
add_compile_definitions(_USE_MATH_DEFINES)
