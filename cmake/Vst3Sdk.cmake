# The VST 3 SDK subset that Debian ships with its JUCE module sources.
set(VST3_SDK_DIR "/usr/share/juce/modules/juce_audio_processors/format_types/VST3_SDK"
    CACHE PATH "Root of the VST 3 SDK (pluginterfaces, base, public.sdk)")
if(NOT EXISTS "${VST3_SDK_DIR}/pluginterfaces/base/funknown.h")
  message(FATAL_ERROR "VST 3 SDK not found in ${VST3_SDK_DIR} (install juce-modules-source-data)")
endif()

# The architecture folder inside a bundle (Name.vst3/Contents/<arch>/Name.so,
# Name.vst3/Contents/x86_64-win/Name.vst3 on Windows).
if(WIN32)
  set(CORVENA_VST3_ARCH x86_64-win)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  set(CORVENA_VST3_ARCH x86_64-linux)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  set(CORVENA_VST3_ARCH aarch64-linux)
else()
  set(CORVENA_VST3_ARCH ${CMAKE_SYSTEM_PROCESSOR}-linux)
endif()

# Host side: what the hosting layer needs.
add_library(vst3sdk STATIC
  ${VST3_SDK_DIR}/base/source/baseiids.cpp
  ${VST3_SDK_DIR}/base/source/fbuffer.cpp
  ${VST3_SDK_DIR}/base/source/fdebug.cpp
  ${VST3_SDK_DIR}/base/source/fobject.cpp
  ${VST3_SDK_DIR}/base/source/fstreamer.cpp
  ${VST3_SDK_DIR}/base/source/fstring.cpp
  ${VST3_SDK_DIR}/base/source/updatehandler.cpp
  ${VST3_SDK_DIR}/base/thread/source/flock.cpp
  ${VST3_SDK_DIR}/pluginterfaces/base/conststringtable.cpp
  ${VST3_SDK_DIR}/pluginterfaces/base/coreiids.cpp
  ${VST3_SDK_DIR}/pluginterfaces/base/funknown.cpp
  ${VST3_SDK_DIR}/pluginterfaces/base/ustring.cpp
  ${VST3_SDK_DIR}/public.sdk/source/common/memorystream.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/hosting/hostclasses.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/hosting/pluginterfacesupport.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/vstinitiids.cpp
)
# Later SDKs (3.7.12 in Debian 13's JUCE) convert the host classes' strings in units of their own.
foreach(unit public.sdk/source/vst/utility/stringconvert.cpp public.sdk/source/common/commonstringconvert.cpp)
  if(EXISTS ${VST3_SDK_DIR}/${unit})
    target_sources(vst3sdk PRIVATE ${VST3_SDK_DIR}/${unit})
  endif()
endforeach()
target_include_directories(vst3sdk SYSTEM PUBLIC ${VST3_SDK_DIR})
target_compile_definitions(vst3sdk PUBLIC $<IF:$<CONFIG:Debug>,DEVELOPMENT=1,RELEASE=1>)
target_compile_options(vst3sdk PRIVATE -w)
target_link_libraries(vst3sdk PUBLIC Threads::Threads)

# Plug-in side: the SDK's component and controller classes, for the project's
# own test plug-ins. The view and run-loop interface ids are defined in a file
# of ours because no SDK source of the subset defines them.
add_library(vst3sdk_plugin STATIC EXCLUDE_FROM_ALL
  ${VST3_SDK_DIR}/public.sdk/source/common/pluginview.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/vstbus.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/vstcomponent.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/vstcomponentbase.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/vsteditcontroller.cpp
  ${VST3_SDK_DIR}/public.sdk/source/vst/vstparameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/plugin/ViewIids.cpp
)
target_compile_options(vst3sdk_plugin PRIVATE -w)
target_link_libraries(vst3sdk_plugin PUBLIC vst3sdk)
