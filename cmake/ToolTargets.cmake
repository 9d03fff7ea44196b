# The two programs are built alike; these functions say how once.

include(${CMAKE_CURRENT_LIST_DIR}/Win32Resources.cmake)

# The program `name` from <name>_main.cpp in the calling folder, over its ui
# library. Where the build has Qt, its window (qt/, the library
# norq_<name>_qt) comes with it; elsewhere no_window.cpp says it was built
# without one. The simulated phones come with every build.
function(norq_add_program name ui_library)
  find_package(CLI11 CONFIG REQUIRED)
  add_executable(${name} ${name}_main.cpp)
  target_link_libraries(${name} PRIVATE ${ui_library} CLI11::CLI11 norq_build_options)
  if(NORQ_WITH_QT)
    add_subdirectory(qt)
    target_sources(${name} PRIVATE qt/window_main.cpp)
    target_link_libraries(${name} PRIVATE norq_${name}_qt)
  elseif(WIN32 AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/win32/CMakeLists.txt)
    # The Win32 window (win32/, the library norq_<name>_win32): a GUI
    # program, which takes its parent's console for --headless.
    add_subdirectory(win32)
    target_sources(${name} PRIVATE win32/window_main.cpp)
    target_link_libraries(${name} PRIVATE norq_${name}_win32)
    target_link_options(${name} PRIVATE -mwindows)
  else()
    target_sources(${name} PRIVATE no_window.cpp)
  endif()
  if(WIN32)
    norq_add_version_resource(${name} "${name}")
    target_link_libraries(${name} PRIVATE norq_win32_gui)
  endif()
  target_link_libraries(${name} PRIVATE norq_simulated_phones)
endfunction()

# A window's English texts, built into the program as ":/i18n/<name>_en.qm"
# from translations/<name>_en.ts in the calling folder. The .ts file is kept
# by hand: the sources look texts up by variable, which lupdate cannot follow.
function(norq_add_window_texts target name)
  qt_add_lrelease(${target}
    TS_FILES ${CMAKE_CURRENT_SOURCE_DIR}/translations/${name}_en.ts
    QM_FILES_OUTPUT_VARIABLE qm_files)
  qt_add_resources(${target} ${name}_translations
    PREFIX /i18n
    BASE ${CMAKE_CURRENT_BINARY_DIR}
    FILES ${qm_files})
endfunction()

# The window tests of the program `name`, from the sources given: offscreen,
# labelled gui, with SCREENSHOT_DIR and <NAME>_PATH (the program itself).
function(norq_add_gui_tests name)
  string(TOUPPER ${name} upper)
  add_executable(${name}_gui_tests ${ARGN})
  target_link_libraries(${name}_gui_tests PRIVATE
    norq_${name}_qt norq_sim norq_test_support norq_qt_test_support norq_build_options)
  target_compile_definitions(${name}_gui_tests PRIVATE
    SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}/screenshots" ${upper}_PATH="$<TARGET_FILE:${name}>")
  add_dependencies(${name}_gui_tests ${name})
  gtest_discover_tests(${name}_gui_tests TEST_PREFIX "${name}_gui." PROPERTIES LABELS gui
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
