// Included before a table description in each expansion pass: every description
// macro the pass did not define expands to nothing. UndefMacros.h ends the pass.
//
// The description macros (see tables/definitions/README.md):
//   HW_REGISTER(className, hardwareName, entryBytes, moduleOrder)
//   HW_MEMORY(className, hardwareName, entryBytes, moduleOrder, tableBlock)
//   HW_DESCRIPTOR(groupName)
//   HW_KEY_SINGLE(null)
//   HW_KEY_ARRAY(arrayIndexMin, arrayIndexMax, entryIndexMin, entryIndexMax)
//   HW_MEMBER(memoryId, name, block, address, firstArrayIndex, arrayCount,
//             firstEntryIndex, entryCount)
//   HW_FIELD(name, type, offset, width)
//   HW_FIELD_ARRAY(name, type, firstOffset, stride, width, count)
//   HW_BITMAP(name, offset, width)
//   HW_STARTUP(row, field, value)     a memory's start-up row sets that field (in
//                                     every array); listed rows are written
//   HW_STARTUP_EVERY_ROW()            every row of every array is written at start-up,
//                                     rows not listed with all fields 0
#ifndef HW_REGISTER
#define HW_REGISTER(className, hardwareName, entryBytes, moduleOrder)
#endif
#ifndef HW_MEMORY
#define HW_MEMORY(className, hardwareName, entryBytes, moduleOrder, tableBlock)
#endif
#ifndef HW_DESCRIPTOR
#define HW_DESCRIPTOR(groupName)
#endif
#ifndef HW_KEY_SINGLE
#define HW_KEY_SINGLE(nullValue)
#endif
#ifndef HW_KEY_ARRAY
#define HW_KEY_ARRAY(arrayIndexMin, arrayIndexMax, entryIndexMin, entryIndexMax)
#endif
#ifndef HW_MEMBER
#define HW_MEMBER(memoryId, name, block, address, firstArrayIndex, arrayCount, firstEntryIndex, \
                  entryCount)
#endif
#ifndef HW_FIELD
#define HW_FIELD(name, type, offset, width)
#endif
#ifndef HW_FIELD_ARRAY
#define HW_FIELD_ARRAY(name, type, firstOffset, stride, width, count)
#endif
#ifndef HW_BITMAP
#define HW_BITMAP(name, offset, width)
#endif
#ifndef HW_STARTUP
#define HW_STARTUP(row, field, value)
#endif
#ifndef HW_STARTUP_EVERY_ROW
#define HW_STARTUP_EVERY_ROW()
#endif
