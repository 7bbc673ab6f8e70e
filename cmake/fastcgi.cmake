# The FastCGI adapter speaks the FastCGI protocol through Debian's libfcgi
# (fcgiapp.h, FCGX_Accept_r on several threads).
find_package(PkgConfig REQUIRED)
pkg_check_modules(FCGI REQUIRED IMPORTED_TARGET fcgi)
target_link_libraries(vantora_core PUBLIC PkgConfig::FCGI)
set(VANTORA_STATIC_PKG_PkgConfig::FCGI fcgi)
