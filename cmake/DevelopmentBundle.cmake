# Vantrel.app in the build folder: the stand-in Vantrel with the agent and the
# extractor beside it, as in Vantrel's own bundle, so the whole story can be
# played on a Mac. Its identifier is ours, never Vantrel's.
set(bundle ${CMAKE_BINARY_DIR}/Vantrel.app)
set(bundle_macos ${bundle}/Contents/MacOS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/DevelopmentBundle.plist.in ${bundle}/Contents/Info.plist @ONLY)

set(bundle_programs Vantrel:standin-vantrel vantrel-status:vantrel-status
    vantrel-source-extractor:vantrel-source-extractor)
set(bundle_files)
set(bundle_copies)
foreach(entry IN LISTS bundle_programs)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 target)
    list(APPEND bundle_files ${bundle_macos}/${name})
    list(APPEND bundle_copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}>
        ${bundle_macos}/${name})
endforeach()

add_custom_command(OUTPUT ${bundle_files}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bundle_macos}
    ${bundle_copies}
    DEPENDS standin-vantrel vantrel-status vantrel-source-extractor
    COMMENT "Assembling Vantrel.app")
add_custom_target(vantrel-app ALL DEPENDS ${bundle_files})
