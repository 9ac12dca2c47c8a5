# The driver proper: adapter/, topology/ and wave/, compiled against the host
# form of platform/. These directories see nothing but platform/ headers.
file(GLOB ZATAC97_DRIVER_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/adapter/*.cpp
  ${PROJECT_SOURCE_DIR}/topology/*.cpp
  ${PROJECT_SOURCE_DIR}/wave/*.cpp)
add_library(zatac97_driver STATIC ${ZATAC97_DRIVER_SOURCES})
target_include_directories(zatac97_driver PUBLIC
  ${PROJECT_SOURCE_DIR}/platform/host
  ${PROJECT_SOURCE_DIR})
target_compile_definitions(zatac97_driver PUBLIC
  ZATAC97_VENDOR_ID=${ZATAC97_VENDOR_ID}
  ZATAC97_DEVICE_ID=${ZATAC97_DEVICE_ID})
# Kernel code has no exceptions and no RTTI; keep the host build honest.
# Objects are zero-filled by their pool operator new and their constructors
# leave most fields alone: the optimizer must not treat that fill as dead.
target_compile_options(zatac97_driver PRIVATE ${ZATAC97_DRIVER_WARNINGS} -fno-exceptions -fno-rtti
                       $<$<CXX_COMPILER_ID:GNU>:-fno-lifetime-dse>)
target_link_libraries(zatac97_driver PUBLIC zatac97_host)
