# The FastCGI adapter speaks the FastCGI protocol through Debian's libfcgi
# (fcgiapp.h, FCGX_Accept_r on several threads).  Its static archive (built
# position-independent) is linked everywhere, so neither the executable nor
# libvantora.so needs the shared library at run time.
find_path(FCGI_INCLUDE_DIR fcgiapp.h REQUIRED)
find_library(FCGI_ARCHIVE NAMES libfcgi.a REQUIRED)
target_include_directories(vantora_core SYSTEM PUBLIC ${FCGI_INCLUDE_DIR})
target_link_libraries(vantora_core PUBLIC ${FCGI_ARCHIVE})
