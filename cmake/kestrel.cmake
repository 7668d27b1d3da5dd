# Sources are picked up by folder so that each layer owns its own files. The
# folders stand on floors (docs/architecture.md): base, settings, usb, core,
# widgets, display, firmware, record, share, app; a folder includes only
# folders below it.
#   src/<area>/*.cpp          platform-free logic (no Qt, SDL, FFmpeg, libusb or PipeWire headers)
#   src/<area>/qt/*.cpp       the area's Qt windows and dialogs
#   src/widgets/*.h           Qt helpers the dialogs share
#   src/app/*.cpp             the Qt application shell on top
#   src/core/sdl/*.cpp        SDL2 audio engine layer
#   src/usb/libusb/*.cpp      libusb backend
#   src/usb/sim/*.cpp         the simulated board
#   src/record/codec/*.cpp    our own video codecs (platform-free, below the media layer)
#   src/record/ffmpeg/*.cpp   FFmpeg media layer
#   src/share/pipewire/*.cpp  PipeWire output
# Files named main_*.cpp are entry points and never part of a library.
function(kestrel_glob out)
  file(GLOB files CONFIGURE_DEPENDS ${ARGN})
  list(FILTER files EXCLUDE REGEX "/main_[^/]*\\.cpp$")
  if(NOT files)
    # A subsystem with no sources yet still makes a library target.
    set(empty ${CMAKE_BINARY_DIR}/kestrel_empty.cpp)
    if(NOT EXISTS ${empty})
      file(WRITE ${empty} "")
    endif()
    set(files ${empty})
  endif()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# One test executable per folder of tests/ (GoogleTest).
function(kestrel_gtest name)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(NOT files)
    return()
  endif()
  add_executable(test_${name} ${files})
  target_link_libraries(test_${name} PRIVATE ${ARGN} kc_test_support GTest::gtest GTest::gtest_main)
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
