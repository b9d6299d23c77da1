# Every library states what it offers: its own headers, reachable by their path from the
# source root ("service/ImageServer.h") through a folder of links that holds those headers
# and nothing else. A target sees the headers of the libraries it links and no others, so an
# include across a layer the target may not use fails the build instead of a review.
function(vistrel_expose_headers target)
    set(dir ${CMAKE_BINARY_DIR}/include/${target})
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.h$")
            continue()
        endif()
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} OUTPUT_VARIABLE absolute)
        cmake_path(RELATIVE_PATH absolute BASE_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE relative)
        cmake_path(GET relative PARENT_PATH parent)
        file(MAKE_DIRECTORY ${dir}/${parent})
        file(CREATE_LINK ${absolute} ${dir}/${relative} SYMBOLIC)
    endforeach()
    target_include_directories(${target} PUBLIC ${dir})
endfunction()

# Tests, benchmarks and tools reach their own helpers by path from the source root too
# ("tests/support/NetClient.h"); the folders they may read are linked here one by one.
function(vistrel_expose_folders target)
    set(dir ${CMAKE_BINARY_DIR}/include/${target})
    foreach(folder IN LISTS ARGN)
        cmake_path(GET folder PARENT_PATH parent)
        file(MAKE_DIRECTORY ${dir}/${parent})
        file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
    endforeach()
    target_include_directories(${target} PRIVATE ${dir})
endfunction()

# Every target defined in folder and the folders below it.
function(vistrel_targets_below folder out)
    get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subfolders)
        vistrel_targets_below(${sub} below)
        list(APPEND targets ${below})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Called once every folder is added: libraries expose their headers; the programs of the
# tests and benchmarks also read the test helpers.
function(vistrel_state_include_directories)
    vistrel_targets_below(${CMAKE_SOURCE_DIR} targets)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        get_target_property(source_dir ${target} SOURCE_DIR)
        cmake_path(RELATIVE_PATH source_dir BASE_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE folder)
        if(type STREQUAL "STATIC_LIBRARY")
            vistrel_expose_headers(${target})
        endif()
        if(type STREQUAL "EXECUTABLE" AND folder MATCHES "^(tests|bench)(/|$)")
            vistrel_expose_folders(${target} tests)
        endif()
    endforeach()
endfunction()
