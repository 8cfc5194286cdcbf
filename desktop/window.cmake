# The Qt front end's pieces: the window, the Qt main queue, notifications over D-Bus, the alert,
# opening addresses and the windowed run. Included from desktop/CMakeLists.txt.
find_package(Qt6 6.2 REQUIRED COMPONENTS Widgets DBus)

add_library(velmora_desktop_qt STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_main_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dbus_notification_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_update_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop_app.cpp
)
set_target_properties(velmora_desktop_qt PROPERTIES AUTOMOC ON)
target_include_directories(velmora_desktop_qt PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(velmora_desktop_qt
  PUBLIC Qt6::Widgets Qt6::DBus velmora_desktop_core velmora_app velmora_update
  PRIVATE velmora_version)
# The window's icon, also when velmora runs uninstalled (drawn by Qt's SVG plug-in, libqt6svg6).
qt_add_resources(velmora_desktop_qt velmora_icon PREFIX /velmora
  BASE ${CMAKE_CURRENT_LIST_DIR}/data FILES ${CMAKE_CURRENT_LIST_DIR}/data/velmora.svg)
velmora_target(velmora_desktop_qt)
