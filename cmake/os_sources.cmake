# The operating-system halves of the components, chosen by the build: each
# component keeps its OS code in <stem>_unix.cpp or <stem>_win.cpp beside its
# portable part, and the lists below name only the stem. A port to Windows
# adds its *_win.cpp files and edits no list.

# quaylight_os_sources(<var> <dir> <stem>...) appends <dir>/<stem>_unix.cpp
# (UNIX) or <dir>/<stem>_win.cpp (WIN32) to the list <var>, and stops the
# configuration with a message naming a file the platform lacks.
function(quaylight_os_sources var dir)
    if(WIN32)
        set(suffix _win)
    elseif(UNIX)
        set(suffix _unix)
    else()
        message(FATAL_ERROR "quaylight: no OS sources for ${CMAKE_SYSTEM_NAME}")
    endif()
    set(files ${${var}})
    foreach(stem IN LISTS ARGN)
        set(file ${dir}/${stem}${suffix}.cpp)
        if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${file})
            message(FATAL_ERROR "quaylight: ${CMAKE_SYSTEM_NAME} needs ${file} "
                                "(the OS side of ${dir}/${stem})")
        endif()
        list(APPEND files ${file})
    endforeach()
    set(${var} ${files} PARENT_SCOPE)
endfunction()

# The relay's own event dispatcher keeps its watch set in the kernel with
# epoll and wakes through an eventfd; where those are missing the relay runs
# on Qt's dispatcher (as QtSerialPort picks its backend, by what the system
# has, not by its name).
include(CheckCXXSymbolExists)
check_cxx_symbol_exists(epoll_create1 sys/epoll.h QUAYLIGHT_HAVE_EPOLL_CREATE1)
check_cxx_symbol_exists(eventfd sys/eventfd.h QUAYLIGHT_HAVE_EVENTFD)
if(QUAYLIGHT_HAVE_EPOLL_CREATE1 AND QUAYLIGHT_HAVE_EVENTFD)
    set(QUAYLIGHT_HAVE_EPOLL ON)
else()
    set(QUAYLIGHT_HAVE_EPOLL OFF)
endif()

# quaylight_dispatcher_sources(<var>) appends the relay's event dispatcher
# to the list <var>: epoll's where the system has it, else Qt's own.
function(quaylight_dispatcher_sources var)
    if(QUAYLIGHT_HAVE_EPOLL)
        set(${var} ${${var}} platform/epoll_dispatcher.cpp platform/epoll_dispatcher.h
            PARENT_SCOPE)
    else()
        set(${var} ${${var}} platform/qt_dispatcher.cpp PARENT_SCOPE)
    endif()
endfunction()
