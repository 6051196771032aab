# The layering of the tree, enforced by the build: a folder's headers are reached only by what links its
# library. Each library sees its folder under the build tree, alone, at the folder's own path
# (build/include/TARGET/gateway/queue → gateway/queue), and the source tree itself is on no include path,
# so `#include "gateway/queue/page_store.h"` fails to compile in a folder that does not link the queue.

# Makes the folder of the current CMakeLists.txt the headers of `target`.
function(velkor_headers target)
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    set(root ${PROJECT_BINARY_DIR}/include/${target})
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
    target_include_directories(${target} PUBLIC ${root})
endfunction()

# velkor_library(TARGET SOURCES... [PUBLIC libraries...] [PRIVATE libraries...]): a static library of the
# current folder. PUBLIC: what its headers include; PRIVATE: what only its sources do (third-party
# libraries, so that what links this one does not get them).
function(velkor_library target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PUBLIC;PRIVATE")
    add_library(${target} STATIC ${arg_UNPARSED_ARGUMENTS})
    velkor_headers(${target})
    target_link_libraries(${target} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
endfunction()
