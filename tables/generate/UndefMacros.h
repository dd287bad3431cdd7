// Ends one expansion pass over a table description (see DefaultMacros.h).
#undef HW_REGISTER
#undef HW_MEMORY
#undef HW_DESCRIPTOR
#undef HW_KEY_SINGLE
#undef HW_KEY_ARRAY
#undef HW_MEMBER
#undef HW_FIELD
#undef HW_FIELD_ARRAY
#undef HW_BITMAP
#undef HW_STARTUP
#undef HW_STARTUP_EVERY_ROW
