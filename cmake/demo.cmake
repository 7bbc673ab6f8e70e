# What `cmake --install` puts in place: the program, a sample site to run it
# with (tools/run-demo.sh), and the web server and logrotate configurations
# of the install guide (README.md, "Install on your web server").  The template belongs beside the program in
# the site's cgi-bin folder; the page that carries the counting picture goes
# into the document root.
include(GNUInstallDirs)
install(PROGRAMS $<TARGET_FILE:vantora> DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/tools/demo/vantora.htm
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vantora/site/cgi-bin)
install(FILES ${CMAKE_SOURCE_DIR}/tools/demo/index.html
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vantora/site/htdocs)
install(FILES ${CMAKE_SOURCE_DIR}/tools/server/lighttpd-vantora.conf
              ${CMAKE_SOURCE_DIR}/tools/server/apache-vantora.conf
              ${CMAKE_SOURCE_DIR}/tools/server/nginx-vantora.conf
              ${CMAKE_SOURCE_DIR}/tools/server/logrotate-vantora
              ${CMAKE_SOURCE_DIR}/tools/server/nginx-vantora-fastcgi.conf
              ${CMAKE_SOURCE_DIR}/tools/server/lighttpd-vantora-fastcgi.conf
              ${CMAKE_SOURCE_DIR}/tools/server/apache-vantora-fastcgi.conf
              ${CMAKE_SOURCE_DIR}/tools/server/vantora-fastcgi.service
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vantora/server)

# The systemd unit of the CGI server.  VANTORA_CGI_PROGRAM is the program the
# web server runs (the server must run that very file).
set(VANTORA_CGI_PROGRAM "${CMAKE_INSTALL_FULL_BINDIR}/vantora" CACHE STRING
    "Path of the vantora program the web server runs, for the CGI server's systemd unit")
configure_file(${CMAKE_SOURCE_DIR}/tools/vantora-cgi-server.service.in
               ${CMAKE_BINARY_DIR}/vantora-cgi-server.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vantora-cgi-server.service
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/systemd/system)
