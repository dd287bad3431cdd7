// Names for the values of a table description, so that every number in a .def file
// says what it is where it stands:
//
//   HW_MEMBER(memoryId(0), hardwareName("ippaBsplProfileTable"), block(38),
//             address(0xC20040), firstArray(2), arrayCount(2), firstEntry(0),
//             entryCount(32))
//
// Each name expands to its argument, so the description macros receive exactly the
// values they would without them. A description includes this file first and
// ValueNamesEnd.h last: the names exist only while the description is read and
// cannot capture the same words anywhere else. Names are not for arguments that the
// expansions stringify or paste (class, field and type names).
#define hardwareName(text) text
#define entryBytes(count) count
#define moduleOrder(position) position
#define tableBlock(number) number
#define nullValue(value) value
#define arrayMin(index) index
#define arrayMax(index) index
#define entryMin(index) index
#define entryMax(index) index
#define memoryId(number) number
#define block(number) number
#define address(number) number
#define firstArray(index) index
#define arrayCount(count) count
#define firstEntry(index) index
#define entryCount(count) count
#define bitOffset(bit) bit
#define bitWidth(bits) bits
#define bitStride(bits) bits
#define elementCount(count) count
