# Vantrel.app in the build folder: the stand-in Vantrel with the agent and the
# extractor beside it, as in Vantrel's own bundle, so the whole story can be
# played (scripts/selftest) on a Mac and, with the same layout, on Linux. Its
# identifier is ours, never Vantrel's.
set(bundle ${CMAKE_BINARY_DIR}/Vantrel.app)
set(bundle_macos ${bundle}/Contents/MacOS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/DevelopmentBundle.plist.in ${bundle}/Contents/Info.plist @ONLY)

set(bundle_programs Vantrel:standin-vantrel vantrel-status:vantrel-status
    vantrel-source-extractor:vantrel-source-extractor)
# The extractor loads its engine modules from beside itself: whichever the build
# makes go along.
get_property(extractor_targets DIRECTORY ${PROJECT_SOURCE_DIR}/source-extractor
    PROPERTY BUILDSYSTEM_TARGETS)
foreach(target IN LISTS extractor_targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "MODULE_LIBRARY" AND target MATCHES "^vantrel-.+-engine$")
        list(APPEND bundle_programs ${target}${CMAKE_SHARED_MODULE_SUFFIX}:${target})
    endif()
endforeach()

set(bundle_files)
set(bundle_copies)
set(bundle_targets)
foreach(entry IN LISTS bundle_programs)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 target)
    list(APPEND bundle_files ${bundle_macos}/${name})
    list(APPEND bundle_targets ${target})
    list(APPEND bundle_copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}>
        ${bundle_macos}/${name})
endforeach()

add_custom_command(OUTPUT ${bundle_files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bundle_macos}
    ${bundle_copies}
    DEPENDS ${bundle_targets}
    COMMENT "Assembling Vantrel.app")
add_custom_target(vantrel-app ALL DEPENDS ${bundle_files})
