# Test images are real 32-bit PE files with PDB and map, built at build time by
# tests/imagebuilder/build_image.py with clang-14 and lld-link-14, the way /Gh would build them.
#
#   tqt_add_test_image(<name> SOURCES <files...> [DLL] [BASE <hex>] [ICF] [RELEASE] [NO_PENTER]
#                      [UNFRAMED <decorated names...>] [INCLUDE <dirs...>] [EXCLUDE_FROM_ALL])
#
# writes ${TQT_TEST_IMAGES_DIR}/<name>/<name>.exe (.dll with DLL), <name>.pdb and <name>.map,
# adds the target testimage_<name> and, unless EXCLUDE_FROM_ALL, hangs it under test_images.
# Relative source paths are taken from the calling directory.
#
#   tqt_add_msvc_image(<name> FROM <image> [FASTLINK] [STALE <count>])
#
# writes ${TQT_TEST_IMAGES_DIR}/<name>/<name>.exe, .pdb and .map: the built image <image> with
# its program database in the shapes of Microsoft's linker (tests/imagebuilder/msvc_pdb.py),
# recorded by file name only; the map is <image>'s.
#
#   tqt_add_synthetic_image(<name> FUNCTIONS <count> [USES_TERMINAL])
#
# generates a program of exactly <count> functions (tests/imagebuilder/gen_synthetic.py) and
# builds it as ${TQT_TEST_IMAGES_DIR}/<name>/<name>.exe, .pdb and .map; the target
# testimage_<name> is built only on request or as a dependency.
#
# The programs compiled into the images, and their run-time stubs, are inputs: tests/data/.

set(TQT_TEST_IMAGES_DIR ${CMAKE_BINARY_DIR}/testimages)
set(TQT_IMAGEBUILDER_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/imagebuilder)
get_filename_component(TQT_IMAGEBUILDER_DIR ${TQT_IMAGEBUILDER_DIR} ABSOLUTE)
set(TQT_IMAGEBUILDER ${TQT_IMAGEBUILDER_DIR}/build_image.py)
set(TQT_TEST_DATA_DIR ${CMAKE_CURRENT_LIST_DIR}/../tests/data)
get_filename_component(TQT_TEST_DATA_DIR ${TQT_TEST_DATA_DIR} ABSOLUTE)
set(TQT_IMAGE_STUBS ${TQT_TEST_DATA_DIR}/stubs/crtstubs.cpp)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(TQT_CLANG14 NAMES clang-14)
find_program(TQT_LLD_LINK14 NAMES lld-link-14)
if(NOT TQT_CLANG14 OR NOT TQT_LLD_LINK14)
    message(FATAL_ERROR
        "Test images need clang-14 and lld-link-14 (Debian packages clang-14 and lld-14); "
        "found clang-14: '${TQT_CLANG14}', lld-link-14: '${TQT_LLD_LINK14}'. "
        "Install them (scripts/deps.sh) or point TQT_CLANG14 / TQT_LLD_LINK14 at them.")
endif()

if(NOT TARGET test_images)
    add_custom_target(test_images)
endif()

function(tqt_add_test_image name)
    cmake_parse_arguments(ARG "DLL;ICF;RELEASE;NO_PENTER;EXCLUDE_FROM_ALL" "BASE"
                          "SOURCES;UNFRAMED;INCLUDE" ${ARGN})
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tqt_add_test_image(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_SOURCES)
        message(FATAL_ERROR "tqt_add_test_image(${name}): no SOURCES")
    endif()
    if(TARGET testimage_${name})
        message(FATAL_ERROR "tqt_add_test_image(${name}): the image is defined twice")
    endif()

    set(out ${TQT_TEST_IMAGES_DIR}/${name})
    set(work ${CMAKE_CURRENT_BINARY_DIR}/testimage_work/${name})
    if(ARG_DLL)
        set(image ${out}/${name}.dll)
    else()
        set(image ${out}/${name}.exe)
    endif()

    set(sources)
    foreach(src ${ARG_SOURCES})
        get_filename_component(abs ${src} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        list(APPEND sources ${abs})
    endforeach()

    set(options)
    if(ARG_DLL)
        list(APPEND options --dll)
    endif()
    if(ARG_ICF)
        list(APPEND options --icf)
    endif()
    if(ARG_RELEASE)
        list(APPEND options --release)
    endif()
    if(ARG_NO_PENTER)
        list(APPEND options --no-penter)
    endif()
    if(DEFINED ARG_BASE)
        list(APPEND options --base ${ARG_BASE})
    endif()
    foreach(fn ${ARG_UNFRAMED})
        list(APPEND options --unframed ${fn})
    endforeach()
    foreach(dir ${ARG_INCLUDE})
        get_filename_component(absdir ${dir} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        list(APPEND options --include ${absdir})
    endforeach()

    # Each image compiles a handful of files; one job keeps ninja's -j the real limit.
    add_custom_command(
        OUTPUT ${image} ${out}/${name}.pdb ${out}/${name}.map
        COMMAND ${Python3_EXECUTABLE} ${TQT_IMAGEBUILDER}
                --name ${name} --out ${out} --work ${work} --jobs 1
                --clang ${TQT_CLANG14} --lld-link ${TQT_LLD_LINK14}
                --depfile ${work}/${name}.d
                ${options} ${sources}
        DEPENDS ${sources} ${TQT_IMAGEBUILDER} ${TQT_IMAGE_STUBS}
        DEPFILE ${work}/${name}.d
        COMMENT "Building test image ${name}"
        VERBATIM)

    if(ARG_EXCLUDE_FROM_ALL)
        add_custom_target(testimage_${name} DEPENDS ${image} ${out}/${name}.pdb ${out}/${name}.map)
    else()
        add_custom_target(testimage_${name} ALL
                          DEPENDS ${image} ${out}/${name}.pdb ${out}/${name}.map)
        add_dependencies(test_images testimage_${name})
    endif()
endfunction()

function(tqt_add_msvc_image name)
    cmake_parse_arguments(ARG "FASTLINK" "FROM;STALE" "" ${ARGN})
    if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_FROM)
        message(FATAL_ERROR "tqt_add_msvc_image(${name}): FROM <image> [FASTLINK] [STALE <n>]")
    endif()
    set(from ${TQT_TEST_IMAGES_DIR}/${ARG_FROM}/${ARG_FROM})
    set(out ${TQT_TEST_IMAGES_DIR}/${name})
    set(options)
    if(ARG_FASTLINK)
        list(APPEND options --fastlink)
    endif()
    if(DEFINED ARG_STALE)
        list(APPEND options --stale ${ARG_STALE})
    endif()
    add_custom_command(
        OUTPUT ${out}/${name}.exe ${out}/${name}.pdb ${out}/${name}.map
        COMMAND ${Python3_EXECUTABLE} ${TQT_IMAGEBUILDER_DIR}/msvc_pdb.py
                --from ${from}.exe --name ${name} --out ${out} ${options}
        DEPENDS ${from}.exe ${from}.pdb ${from}.map ${TQT_IMAGEBUILDER_DIR}/msvc_pdb.py
        COMMENT "Reshaping test image ${ARG_FROM} as ${name}"
        VERBATIM)
    add_custom_target(testimage_${name} ALL
                      DEPENDS ${out}/${name}.exe ${out}/${name}.pdb ${out}/${name}.map)
    add_dependencies(testimage_${name} testimage_${ARG_FROM})
    add_dependencies(test_images testimage_${name})
endfunction()

function(tqt_add_synthetic_image name)
    cmake_parse_arguments(ARG "USES_TERMINAL" "FUNCTIONS" "" ${ARGN})
    if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_FUNCTIONS)
        message(FATAL_ERROR "tqt_add_synthetic_image(${name}): FUNCTIONS <count> [USES_TERMINAL]")
    endif()
    set(out ${TQT_TEST_IMAGES_DIR}/${name})
    set(terminal)
    if(ARG_USES_TERMINAL)
        set(terminal USES_TERMINAL)
    endif()
    add_custom_command(
        OUTPUT ${out}/${name}.exe ${out}/${name}.pdb ${out}/${name}.map
        COMMAND ${Python3_EXECUTABLE} ${TQT_IMAGEBUILDER_DIR}/gen_synthetic.py
                --functions ${ARG_FUNCTIONS} --name ${name} --out ${out}
                --work ${CMAKE_CURRENT_BINARY_DIR}/testimage_work/${name} --jobs 2
                --clang ${TQT_CLANG14} --lld-link ${TQT_LLD_LINK14}
        DEPENDS ${TQT_IMAGEBUILDER_DIR}/gen_synthetic.py ${TQT_IMAGEBUILDER} ${TQT_IMAGE_STUBS}
        COMMENT "Generating and building the ${ARG_FUNCTIONS}-function image ${name}"
        ${terminal}
        VERBATIM)
    add_custom_target(testimage_${name}
                      DEPENDS ${out}/${name}.exe ${out}/${name}.pdb ${out}/${name}.map)
endfunction()
