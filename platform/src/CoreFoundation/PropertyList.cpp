// Deep copies and validity of property lists; each family copies and checks itself
// (cf::Object::CopyPropertyList, cf::Object::IsPropertyList).
#include "Object.h"

extern "C" {

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
    return cf::ObjectOf(propertyList, "CFPropertyListCreateDeepCopy").CopyPropertyList(mutabilityOption);
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    return cf::ObjectOf(plist, "CFPropertyListIsValid").IsPropertyList(format);
}

}  // extern "C"
