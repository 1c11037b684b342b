# The layers of the program, each a library of one folder of src/:
#
#   platform < config < decode < catalog < nntp < session < cli, dialogs < app
#
# A layer sees its own folder and the folders of the layers it links, nothing above: each
# layer's include path holds only a link to its own folder (build/layers/<folder>/<folder>),
# and a layer inherits the include paths of the layers below it. An upward include ("nntp/..."
# in config) therefore fails to compile.
#
# qm_add_layer(<folder> [SOURCES <files>...] [LINKS <targets>...]) defines the target
# qm_<folder> from src/<folder>/*.cpp (or the SOURCES given) linked publicly to LINKS. Further
# libraries a layer needs (a later unit's libvips or SQLite, say) are added with
# target_link_libraries(qm_<folder> PUBLIC ...) beside the call.
function(qm_add_layer folder)
    cmake_parse_arguments(LAYER "" "" "SOURCES;LINKS" ${ARGN})
    if(NOT LAYER_SOURCES)
        file(GLOB LAYER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp)
    endif()
    set(target qm_${folder})
    add_library(${target} STATIC ${LAYER_SOURCES})
    qm_layer_include(${target} ${folder})
    target_link_libraries(${target} PUBLIC ${LAYER_LINKS})
endfunction()

# Gives target the include path of one more folder of src/ (as the layer above does).
function(qm_layer_include target folder)
    set(include ${CMAKE_BINARY_DIR}/layers/${folder})
    file(MAKE_DIRECTORY ${include})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${include}/${folder} SYMBOLIC)
    target_include_directories(${target} PUBLIC ${include})
endfunction()
