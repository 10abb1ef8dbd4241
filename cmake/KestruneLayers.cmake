# The program's layers, each a library target that sees only the headers it may use.
#
# kestrune_include_root(<target> <PUBLIC|PRIVATE> <folder>...)
#   Gives the target an include folder of its own in the build tree that holds a link to each
#   of these folders of src/ and nothing else. "#include "devices/DeviceTable.h"" then
#   finds the folders of this layer and, through the targets it links, of the layers below
#   it; a folder of a layer above is simply not there to be found.

function(kestrune_include_root target scope)
    set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
    # Made afresh at every configure, so a folder that left the layer is gone from it too.
    file(REMOVE_RECURSE ${root})
    file(MAKE_DIRECTORY ${root})
    foreach(folder IN LISTS ARGN)
        file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
    endforeach()
    target_include_directories(${target} ${scope} ${root})
endfunction()

# kestrune_layer_sources(<variable> <folder>...)
#   The sources and headers of these folders of src/ (not of their subfolders).
function(kestrune_layer_sources variable)
    set(sources "")
    foreach(folder IN LISTS ARGN)
        file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp
             ${CMAKE_SOURCE_DIR}/src/${folder}/*.h)
        list(APPEND sources ${found})
    endforeach()
    set(${variable} ${sources} PARENT_SCOPE)
endfunction()
