// Deep copies of property lists; each family copies itself (cf::Object::CopyPropertyList).
#include "Object.h"

extern "C" CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                                          CFOptionFlags mutabilityOption) {
    return cf::ObjectOf(propertyList, "CFPropertyListCreateDeepCopy").CopyPropertyList(mutabilityOption);
}
