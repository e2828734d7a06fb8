# varnel-data plot: tests over snapshots of the card stand-in's profile, and
# varnel-synthetic-wave, which writes such a snapshot (tools/data/snapshot.sh
# renders the documentation's picture from one).
add_library(varnel_synthetic_wave STATIC ${CMAKE_CURRENT_LIST_DIR}/synthetic_wave.cpp)
target_include_directories(varnel_synthetic_wave PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varnel_synthetic_wave PUBLIC varnel_store varnel_text qda7100_profile)
lw_project_target(varnel_synthetic_wave)

add_executable(varnel-synthetic-wave ${CMAKE_CURRENT_LIST_DIR}/synthetic_wave_main.cpp)
target_link_libraries(varnel-synthetic-wave PRIVATE varnel_synthetic_wave)
lw_project_target(varnel-synthetic-wave)

lw_add_gtest(NAME varnel_data_plot_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/plot_test.cpp
  LIBS varnel_data_commands varnel_synthetic_wave lw_test_support)
# One case runs the program itself.
add_dependencies(varnel_data_plot_tests varnel-data)
