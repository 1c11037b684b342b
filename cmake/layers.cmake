# SPDX-License-Identifier: GPL-3.0-or-later
# The layers of the program, each a library of one folder of src/:
#
#   platform < model < config < decode < catalog < nntp < session < nzb < cli;
#   session < dialogs < app;
#   nzb < app
#
# A layer sees its own folder and the folders of the layers it links, nothing above: each
# layer's include path holds only a link to its own folder (build/layers/<folder>/<folder>),
# and a layer inherits the include paths of the layers below it. An upward include ("nntp/..."
# in config) therefore fails to compile.
#
# A header is checked too: each one of src/<folder>/*.h is compiled on its own, with nothing
# but the layer's include path (qm_<folder>_headers, part of the default build), so an upward
# include in a header that no source of its layer includes fails as well, and so does a header
# that leans on what its includer happened to include first.
#
# qm_add_layer(<folder> [SOURCES <files>...] [LINKS <targets>...]) defines the target
# qm_<folder> from src/<folder>/*.cpp (or the SOURCES given) linked publicly to LINKS. Further
# libraries a layer needs (a later unit's libvips or SQLite, say) are added with
# target_link_libraries(qm_<folder> PUBLIC ...) beside the call.
option(QM_HEADER_CHECK "Compile every header of a layer on its own" ON)

function(qm_add_layer folder)
    cmake_parse_arguments(LAYER "" "" "SOURCES;LINKS" ${ARGN})
    if(NOT LAYER_SOURCES)
        file(GLOB LAYER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp)
    endif()
    set(target qm_${folder})
    add_library(${target} STATIC ${LAYER_SOURCES})
    qm_layer_include(${target} ${folder})
    target_link_libraries(${target} PUBLIC ${LAYER_LINKS})
    if(QM_HEADER_CHECK)
        qm_check_headers(${folder} ${target})
    endif()
endfunction()

# One translation unit per header of folder, compiled with the include path and definitions
# of layer (the layer's own folder and those below it), and nothing else.
function(qm_check_headers folder layer)
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.h)
    if(NOT headers)
        return()
    endif()
    set(units)
    foreach(header ${headers})
        get_filename_component(name ${header} NAME_WE)
        set(unit ${CMAKE_BINARY_DIR}/headercheck/${folder}/${name}.cpp)
        file(CONFIGURE OUTPUT ${unit} CONTENT "#include \"${folder}/${name}.h\"\n")
        list(APPEND units ${unit})
    endforeach()
    set(check ${layer}_headers)
    add_library(${check} OBJECT ${units})
    set_target_properties(${check} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
    # Linking the layer brings its usage requirements (include paths, definitions) and those
    # of the layers below it; an object library is never linked itself.
    target_link_libraries(${check} PRIVATE ${layer})
endfunction()

# Gives target the include path of one more folder of src/ (as the layer above does).
function(qm_layer_include target folder)
    set(include ${CMAKE_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${include})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${include}/${folder} SYMBOLIC)
    target_include_directories(${target} PUBLIC ${include})
endfunction()
