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
