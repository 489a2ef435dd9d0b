# The executable rewriter: in-place patching of a PE image through a file mapping.
add_library(tqt_exerewriter STATIC
    ${CMAKE_CURRENT_LIST_DIR}/exerewriter.h
    ${CMAKE_CURRENT_LIST_DIR}/exerewriter_p.h
    ${CMAKE_CURRENT_LIST_DIR}/exerewriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PatchJournal.h
    ${CMAKE_CURRENT_LIST_DIR}/PatchJournal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ImageBuild.h
    ${CMAKE_CURRENT_LIST_DIR}/ImageBuild.cpp)
target_include_directories(tqt_exerewriter PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tqt_exerewriter PUBLIC Qt5::Core tqt_patchdb_api tqt_platform_pe tqt_platform_filemap)
