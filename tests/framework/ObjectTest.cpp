#include "hal/Object.h"

#include "hal/CodeNames.h"
#include "hal/Context.h"
#include "hal/Dispatcher.h"
#include "hal/Tracer.h"

#include "CapturingTracer.h"
#include "TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

using hal::MakeObject;
using hal::Object;
using pelio::test::CapturingTracer;
using pelio::test::TestHost;
using Lines = std::vector<std::string>;
using IDs = std::vector<AudioObjectID>;

constexpr pid_t kClientPID = 77;

// An object of a chosen class ('adev' stands in for a device), which counts its destruction.
class TestObject : public Object
{
public:
    TestObject(std::shared_ptr<const hal::Context> context, AudioClassID classID = kAudioObjectClassID,
               bool* destroyed = nullptr)
        : Object(std::move(context), "TestObject"), mClassID(classID), mDestroyed(destroyed)
    {
    }
    ~TestObject() override
    {
        if (mDestroyed != nullptr) {
            *mDestroyed = true;
        }
    }

    AudioClassID GetClass() const override { return mClassID; }
    bool IsInstance(AudioClassID classID) const override
    {
        return classID == mClassID || Object::IsInstance(classID);
    }

private:
    const AudioClassID mClassID;
    bool* const mDestroyed;
};

// The messages of the one traced operation in `lines` (flat style): everything between its begin
// and end lines.
Lines MessagesOf(const Lines& lines)
{
    if (lines.size() < 2) {
        ADD_FAILURE() << "expected a begin and an end line, got " << lines.size() << " lines";
        return {};
    }
    return Lines(lines.begin() + 1, lines.end() - 1);
}

class ObjectTest : public ::testing::Test
{
protected:
    ObjectTest()
    {
        mutableContext = std::make_shared<hal::Context>(tracer, dispatcher);
        context = mutableContext;
    }

    std::shared_ptr<TestObject> Make(AudioClassID classID = kAudioObjectClassID, bool* destroyed = nullptr)
    {
        return MakeObject<TestObject>(context, classID, destroyed);
    }

    // Lines are flat, so that tests compare text without depth prefixes.
    std::shared_ptr<CapturingTracer> tracer =
        std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    // Silent: the registry's own lines would only get between the object's.
    std::shared_ptr<hal::Dispatcher> dispatcher = std::make_shared<hal::Dispatcher>(nullptr, 1000);
    std::shared_ptr<hal::Context> mutableContext;
    std::shared_ptr<const hal::Context> context;
};

// ---- Identity and creation ---------------------------------------------------------------------

TEST_F(ObjectTest, NewObjectIsRegisteredFindableAndAnnouncedAndUnregisteredAtDestruction)
{
    auto object = MakeObject<Object>(context, "Object");
    const AudioObjectID objectID = object->GetID();
    EXPECT_EQ(objectID, 2u) << "a fresh dispatcher hands out 2 first";
    EXPECT_EQ(dispatcher->FindObject(objectID), object);
    EXPECT_EQ(object->GetClass(), kAudioObjectClassID);
    EXPECT_EQ(object->GetBaseClass(), kAudioObjectClassID);
    EXPECT_TRUE(object->IsInstance(kAudioObjectClassID));
    EXPECT_FALSE(object->IsInstance(kAudioDeviceClassID));
    EXPECT_EQ(object->GetOwnerID(), kAudioObjectUnknown);
    EXPECT_FALSE(object->HasOwner());
    EXPECT_TRUE(object->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0).empty());
    EXPECT_TRUE(object->GetCustomProperties().empty());
    EXPECT_EQ(object->GetContext(), context);

    object.reset();
    EXPECT_EQ(dispatcher->FindObject(objectID), nullptr);
    EXPECT_EQ(tracer->GetLines(), (Lines{"Object::Object() objectID=2", "Object::~Object() objectID=2"}));
}

// Looks itself up from inside its constructor, where no shared reference owns it yet.
class SelfFindingObject : public Object
{
public:
    explicit SelfFindingObject(std::shared_ptr<const hal::Context> context)
        : Object(context, "SelfFindingObject")
    {
        foundDuringConstruction = context->Dispatcher->FindObject(GetID()) != nullptr;
    }
    bool foundDuringConstruction = true;
};

TEST(ObjectCreationTest, ObjectIsFindableOnlyOnceASharedReferenceOwnsIt)
{
    auto tracer = std::make_shared<CapturingTracer>(hal::Tracer::Mode::Stderr, hal::Tracer::Style::Flat);
    auto context = std::make_shared<const hal::Context>(
        tracer, std::make_shared<hal::Dispatcher>(tracer, 1000));

    auto object = MakeObject<SelfFindingObject>(context);
    EXPECT_FALSE(object->foundDuringConstruction);
    const Lines lines = tracer->GetLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Dispatcher::FindObject() objectID=2 is dying"), lines.end());
    EXPECT_EQ(context->Dispatcher->FindObject(object->GetID()), object);
}

TEST_F(ObjectTest, SecondObjectWithAnIDInUseGetsIDZeroAndLeavesTheFirstFindable)
{
    class PluginLike : public Object
    {
    public:
        explicit PluginLike(std::shared_ptr<const hal::Context> context)
            : Object(std::move(context), "Plugin", kAudioObjectPlugInObject)
        {
        }
    };
    auto first = MakeObject<PluginLike>(context);
    auto second = MakeObject<PluginLike>(context);
    EXPECT_EQ(first->GetID(), kAudioObjectPlugInObject);
    EXPECT_EQ(second->GetID(), kAudioObjectUnknown);
    second.reset();
    EXPECT_EQ(dispatcher->FindObject(kAudioObjectPlugInObject), first);
}

// ---- Ownership ---------------------------------------------------------------------------------

TEST_F(ObjectTest, AddAndRemoveKeepBothSidesInStep)
{
    auto owner = Make();
    auto owned = Make(kAudioDeviceClassID);
    tracer->ClearLines();

    owner->AddOwnedObject(owned, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(owned->GetOwnerID(), owner->GetID());
    EXPECT_TRUE(owned->HasOwner());
    EXPECT_EQ(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0), IDs{owned->GetID()});

    owner->RemoveOwnedObject(owned->GetID());
    EXPECT_EQ(owned->GetOwnerID(), kAudioObjectUnknown);
    EXPECT_TRUE(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0).empty());
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"Object::AddOwnedObject() owner:(objectID=2 classID=kAudioObjectClassID) "
                     "owned:(objectID=3 classID=kAudioDeviceClassID)",
                     "Object::RemoveOwnedObject() owner:(objectID=2 classID=kAudioObjectClassID) "
                     "owned:(objectID=3 classID=kAudioDeviceClassID)"}));
}

TEST_F(ObjectTest, AddingAnObjectThatAnotherOwnerHoldsTakesItFromThatOwner)
{
    auto previousOwner = Make();
    auto newOwner = Make();
    auto owned = Make();
    previousOwner->AddOwnedObject(owned, kAudioObjectPropertyScopeOutput);
    tracer->ClearLines();

    newOwner->AddOwnedObject(owned, kAudioObjectPropertyScopeInput);

    EXPECT_TRUE(previousOwner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0).empty());
    EXPECT_EQ(newOwner->GetOwnedObjectIDs(kAudioObjectPropertyScopeInput, 0), IDs{owned->GetID()});
    EXPECT_EQ(owned->GetOwnerID(), newOwner->GetID());
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"detaching previous owner before attaching a new one",
                     "Object::RemoveOwnedObject() owner:(objectID=2 classID=kAudioObjectClassID) "
                     "owned:(objectID=4 classID=kAudioObjectClassID)",
                     "Object::AddOwnedObject() owner:(objectID=3 classID=kAudioObjectClassID) "
                     "owned:(objectID=4 classID=kAudioObjectClassID)"}));
}

TEST_F(ObjectTest, AddingAnOwnedObjectAgainMovesItToTheNewScope)
{
    auto owner = Make();
    auto owned = Make();
    owner->AddOwnedObject(owned, kAudioObjectPropertyScopeOutput);

    owner->AddOwnedObject(owned, kAudioObjectPropertyScopeInput);

    EXPECT_EQ(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0), IDs{owned->GetID()});
    EXPECT_EQ(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeInput, 0), IDs{owned->GetID()});
    EXPECT_EQ(owned->GetOwnerID(), owner->GetID());
}

TEST_F(ObjectTest, RemovingTheLastReferenceDestroysTheObjectInsideTheRemoval)
{
    auto owner = Make();
    bool destroyed = false;
    AudioObjectID ownedID = kAudioObjectUnknown;
    {
        auto owned = Make(kAudioObjectClassID, &destroyed);
        ownedID = owned->GetID();
        owner->AddOwnedObject(owned, kAudioObjectPropertyScopeGlobal);
    }
    ASSERT_FALSE(destroyed) << "the owner co-owns what it owns";
    ASSERT_NE(dispatcher->FindObject(ownedID), nullptr);

    owner->RemoveOwnedObject(ownedID);

    EXPECT_TRUE(destroyed);
    EXPECT_EQ(dispatcher->FindObject(ownedID), nullptr);
    EXPECT_EQ(tracer->GetLines().back(), "TestObject::~TestObject() objectID=3");
}

TEST_F(ObjectTest, NullSelfAndUnownedIDsChangeNothing)
{
    auto owner = Make();
    auto owned = Make();
    owner->AddOwnedObject(owned, kAudioObjectPropertyScopeGlobal);
    tracer->ClearLines();

    owner->AddOwnedObject(nullptr, kAudioObjectPropertyScopeGlobal);
    owner->AddOwnedObject(owner, kAudioObjectPropertyScopeGlobal);
    owner->RemoveOwnedObject(99);

    EXPECT_EQ(owner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0), IDs{owned->GetID()});
    EXPECT_EQ(owner->GetOwnerID(), kAudioObjectUnknown) << "an object never owns itself";
    EXPECT_EQ(owned->GetOwnerID(), owner->GetID());
    EXPECT_EQ(tracer->GetLines(),
              (Lines{"Object::AddOwnedObject() owner:(objectID=2 classID=kAudioObjectClassID) not adding null object",
                     "Object::AddOwnedObject() owner:(objectID=2 classID=kAudioObjectClassID) not adding self",
                     "Object::RemoveOwnedObject() owner:(objectID=2 classID=kAudioObjectClassID) "
                     "not removing objectID=99 because it's not owned"}));
}

TEST_F(ObjectTest, OwnedObjectIDsAreOrderedByScopeCodeThenIDAndFilteredByClass)
{
    auto owner = Make();
    // Created in ID order 3 to 7, added in an order that is neither.
    auto output1 = Make(kAudioDeviceClassID);
    auto global1 = Make();
    auto output2 = Make();
    auto global2 = Make(kAudioDeviceClassID);
    auto input1 = Make(kAudioDeviceClassID);
    owner->AddOwnedObject(output2, kAudioObjectPropertyScopeOutput);
    owner->AddOwnedObject(global2, kAudioObjectPropertyScopeGlobal);
    owner->AddOwnedObject(input1, kAudioObjectPropertyScopeInput);
    owner->AddOwnedObject(output1, kAudioObjectPropertyScopeOutput);
    owner->AddOwnedObject(global1, kAudioObjectPropertyScopeGlobal);

    struct Case {
        AudioObjectPropertyScope scope;
        AudioClassID classID;
        IDs expected;
    };
    // 'glob' < 'inpt' < 'outp' as codes.
    const Case cases[] = {
        {kAudioObjectPropertyScopeGlobal, 0, {4, 6, 7, 3, 5}},
        {kAudioObjectPropertyScopeOutput, 0, {3, 5}},
        {kAudioObjectPropertyScopeInput, 0, {7}},
        {kAudioObjectPropertyScopePlayThrough, 0, {}},
        {kAudioObjectPropertyScopeGlobal, kAudioDeviceClassID, {6, 7, 3}},
        {kAudioObjectPropertyScopeOutput, kAudioDeviceClassID, {3}},
        {kAudioObjectPropertyScopeGlobal, kAudioObjectClassID, {4, 6, 7, 3, 5}},
        {kAudioObjectPropertyScopeGlobal, kAudioStreamClassID, {}},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(owner->GetOwnedObjectIDs(testCase.scope, testCase.classID), testCase.expected)
            << hal::PropertyScopeToString(testCase.scope) << " " << hal::ClassIDToString(testCase.classID);
    }
}

TEST_F(ObjectTest, ObjectThatOutlivesItsOwnerKeepsTheOwnerIDAndCanJoinANewOwner)
{
    auto owned = Make();
    auto owner = Make();
    const AudioObjectID ownerID = owner->GetID();
    owner->AddOwnedObject(owned, kAudioObjectPropertyScopeGlobal);
    owner.reset();

    EXPECT_EQ(owned->GetOwnerID(), ownerID);

    // The gone owner must not be touched (AddressSanitizer would see it): there is nothing to
    // detach from.
    auto newOwner = Make();
    newOwner->AddOwnedObject(owned, kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(owned->GetOwnerID(), newOwner->GetID());
    EXPECT_EQ(newOwner->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0), IDs{owned->GetID()});
}

// ---- Base property protocol --------------------------------------------------------------------

// The object under test (ID 3) is owned by ID 2, owns IDs 4, 5 and 6, and has two custom
// properties: 'cus1' (a string, readable and writable) and 'cus2' (a property list, read-only).
class ObjectPropertyTest : public ObjectTest
{
protected:
    static constexpr AudioObjectPropertySelector kStringProperty = 'cus1';
    static constexpr AudioObjectPropertySelector kListProperty = 'cus2';
    static constexpr AudioObjectPropertySelector kUnknownProperty = 'zzzz';

    ObjectPropertyTest()
    {
        owner->AddOwnedObject(object, kAudioObjectPropertyScopeGlobal);
        for (auto& child : children) {
            child = Make();
            object->AddOwnedObject(child, kAudioObjectPropertyScopeGlobal);
        }
        object->RegisterCustomProperty(kStringProperty, Object::StringGetter([] { return CFSTR("value"); }),
                                       Object::StringSetter([](CFStringRef) {}));
        object->RegisterCustomProperty(kListProperty, Object::PropertyListGetter([] { return CFSTR("list"); }),
                                       nullptr);
        tracer->ClearLines();
    }

    std::shared_ptr<TestObject> owner = Make();
    std::shared_ptr<TestObject> object = Make();
    std::array<std::shared_ptr<TestObject>, 3> children;
};

TEST_F(ObjectPropertyTest, QueriesAnswerBaseSelectorsThenCustomPropertiesThenUnknown)
{
    enum class Target { Self, OtherObject, NullAddress };
    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        Target target;
        Boolean hasProperty;
        const char* hasMessage;
        OSStatus settableStatus;
        Boolean isSettable;
        const char* settableMessage;
        OSStatus sizeStatus;
        UInt32 size;
        const char* sizeMessage;
    };
    constexpr auto glob = kAudioObjectPropertyScopeGlobal;
    constexpr Boolean kUntouched = 0xEE;
    constexpr UInt32 kUntouchedSize = 0xEEEEEEEE;
    const Case cases[] = {
        {"base class", kAudioObjectPropertyBaseClass, glob, Target::Self, true, "returning HasProperty=true", 0, false,
         "returning IsSettable=false", 0, 4, "returning PropertySize=4"},
        {"class", kAudioObjectPropertyClass, glob, Target::Self, true, "returning HasProperty=true", 0, false,
         "returning IsSettable=false", 0, 4, "returning PropertySize=4"},
        {"owner", kAudioObjectPropertyOwner, glob, Target::Self, true, "returning HasProperty=true", 0, false,
         "returning IsSettable=false", 0, 4, "returning PropertySize=4"},
        {"owned objects of every scope", kAudioObjectPropertyOwnedObjects, glob, Target::Self, true,
         "returning HasProperty=true", 0, false, "returning IsSettable=false", 0, 12, "returning PropertySize=12"},
        {"owned objects of a scope that holds none", kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeOutput,
         Target::Self, true, "returning HasProperty=true", 0, false, "returning IsSettable=false", 0, 0,
         "returning PropertySize=0"},
        {"custom property list", kAudioObjectPropertyCustomPropertyInfoList, glob, Target::Self, true,
         "returning HasProperty=true", 0, false, "returning IsSettable=false", 0, 24, "returning PropertySize=24"},
        {"writable custom property, any scope", kStringProperty, kAudioObjectPropertyScopeInput, Target::Self, true,
         "property found in custom property map, returning HasProperty=true", 0, true,
         "property found in custom property map, returning IsSettable=true", 0, 8,
         "property found in custom property map, returning PropertySize=8"},
        {"read-only custom property", kListProperty, glob, Target::Self, true,
         "property found in custom property map, returning HasProperty=true", 0, false,
         "property found in custom property map, returning IsSettable=false", 0, 8,
         "property found in custom property map, returning PropertySize=8"},
        {"unknown selector", kUnknownProperty, glob, Target::Self, false, "property not found",
         kAudioHardwareUnknownPropertyError, kUntouched, "property not found", kAudioHardwareUnknownPropertyError,
         kUntouchedSize, "property not found"},
        {"base selector of another object ID", kAudioObjectPropertyClass, glob, Target::OtherObject, false,
         "object not found", kAudioHardwareBadObjectError, kUntouched, "object not found",
         kAudioHardwareBadObjectError, kUntouchedSize, "object not found"},
        {"null address", kAudioObjectPropertyClass, glob, Target::NullAddress, false, "address is null",
         kAudioHardwareIllegalOperationError, kUntouched, "address is null", kAudioHardwareIllegalOperationError,
         kUntouchedSize, "address is null"},
    };

    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectPropertyAddress address{testCase.selector, testCase.scope, kAudioObjectPropertyElementMain};
        const AudioObjectPropertyAddress* addressPointer = testCase.target == Target::NullAddress ? nullptr : &address;
        const AudioObjectID objectID = testCase.target == Target::OtherObject ? owner->GetID() : object->GetID();

        tracer->ClearLines();
        EXPECT_EQ(object->HasProperty(objectID, kClientPID, addressPointer), testCase.hasProperty);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{testCase.hasMessage});

        tracer->ClearLines();
        Boolean isSettable = kUntouched;
        EXPECT_EQ(object->IsPropertySettable(objectID, kClientPID, addressPointer, &isSettable),
                  testCase.settableStatus);
        EXPECT_EQ(isSettable, testCase.isSettable);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{testCase.settableMessage});

        tracer->ClearLines();
        UInt32 size = kUntouchedSize;
        EXPECT_EQ(object->GetPropertyDataSize(objectID, kClientPID, addressPointer, 0, nullptr, &size),
                  testCase.sizeStatus);
        EXPECT_EQ(size, testCase.size);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{testCase.sizeMessage});
    }
}

TEST_F(ObjectPropertyTest, NullOutputPointersOfQueriesAreAnsweredWithSuccess)
{
    for (const AudioObjectPropertySelector selector : std::initializer_list<AudioObjectPropertySelector>{
             kAudioObjectPropertyBaseClass, kAudioObjectPropertyClass, kAudioObjectPropertyOwner,
          kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyCustomPropertyInfoList, kStringProperty}) {
        SCOPED_TRACE(hal::PropertySelectorToString(selector));
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
        tracer->ClearLines();
        EXPECT_EQ(object->IsPropertySettable(object->GetID(), kClientPID, &address, nullptr), 0);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{"output buffer is null"});
        tracer->ClearLines();
        EXPECT_EQ(object->GetPropertyDataSize(object->GetID(), kClientPID, &address, 0, nullptr, nullptr), 0);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{"output buffer is null"});
    }
}

TEST_F(ObjectPropertyTest, GetPropertyDataChecksSizesAndTruncatesListsToWholeElements)
{
    const AudioObjectID ownerID = owner->GetID();
    const AudioObjectID firstChild = children[0]->GetID();
    const AudioObjectID secondChild = children[1]->GetID();
    const std::string allChildren = "[4, 5, 6]";
    ASSERT_EQ(object->GetOwnedObjectIDs(kAudioObjectPropertyScopeGlobal, 0), (IDs{4, 5, 6}));
    const AudioServerPlugInCustomPropertyInfo stringInfo{kStringProperty, kAudioServerPlugInCustomPropertyDataTypeCFString,
                                                         kAudioServerPlugInCustomPropertyDataTypeNone};
    const AudioServerPlugInCustomPropertyInfo listInfo{kListProperty, kAudioServerPlugInCustomPropertyDataTypeCFPropertyList,
                                                       kAudioServerPlugInCustomPropertyDataTypeNone};

    auto bytesOf = [](const auto&... values) {
        std::vector<unsigned char> bytes;
        (bytes.insert(bytes.end(), reinterpret_cast<const unsigned char*>(&values),
                      reinterpret_cast<const unsigned char*>(&values) + sizeof values),
         ...);
        return bytes;
    };
    constexpr UInt32 kUntouchedSize = 0xEEEEEEEE;

    struct Case {
        const char* description;
        AudioObjectPropertySelector selector;
        UInt32 inDataSize;
        bool sizePointer;
        bool dataPointer;
        OSStatus status;
        UInt32 outDataSize;
        std::vector<unsigned char> written;
        Lines messages;
    };
    const Case cases[] = {
        {"class, buffer too small", kAudioObjectPropertyClass, 3, true, true, kAudioHardwareBadPropertySizeError,
         kUntouchedSize, {}, {"not enough space: need 4, avail 3"}},
        {"class, exact buffer", kAudioObjectPropertyClass, 4, true, true, 0, 4, bytesOf(kAudioObjectClassID),
         {"returning Class=" + std::to_string(kAudioObjectClassID)}},
        {"class, larger buffer", kAudioObjectPropertyClass, 16, true, true, 0, 4, bytesOf(kAudioObjectClassID),
         {"returning Class=" + std::to_string(kAudioObjectClassID)}},
        {"class, no size pointer", kAudioObjectPropertyClass, 4, false, true, 0, kUntouchedSize,
         bytesOf(kAudioObjectClassID), {"size buffer is null", "returning Class=" + std::to_string(kAudioObjectClassID)}},
        {"class, no data pointer", kAudioObjectPropertyClass, 4, true, false, 0, 4, {}, {"data buffer is null"}},
        {"base class, too small", kAudioObjectPropertyBaseClass, 0, true, true, kAudioHardwareBadPropertySizeError,
         kUntouchedSize, {}, {"not enough space: need 4, avail 0"}},
        {"base class, exact", kAudioObjectPropertyBaseClass, 4, true, true, 0, 4, bytesOf(kAudioObjectClassID),
         {"returning BaseClass=" + std::to_string(kAudioObjectClassID)}},
        {"base class, larger", kAudioObjectPropertyBaseClass, 5, true, true, 0, 4, bytesOf(kAudioObjectClassID),
         {"returning BaseClass=" + std::to_string(kAudioObjectClassID)}},
        {"owner, too small", kAudioObjectPropertyOwner, 2, true, true, kAudioHardwareBadPropertySizeError,
         kUntouchedSize, {}, {"not enough space: need 4, avail 2"}},
        {"owner, exact", kAudioObjectPropertyOwner, 4, true, true, 0, 4, bytesOf(ownerID),
         {"returning OwnerID=" + std::to_string(ownerID)}},
        {"owner, larger", kAudioObjectPropertyOwner, 8, true, true, 0, 4, bytesOf(ownerID),
         {"returning OwnerID=" + std::to_string(ownerID)}},
        {"owned objects, room for two and a half", kAudioObjectPropertyOwnedObjects, 10, true, true, 0, 8,
         bytesOf(firstChild, secondChild), {"returning OwnedObjectIDs=" + allChildren + " (2/3)"}},
        {"owned objects, no room", kAudioObjectPropertyOwnedObjects, 3, true, true, 0, 0, {},
         {"returning OwnedObjectIDs=" + allChildren + " (0/3)"}},
        {"owned objects, exact", kAudioObjectPropertyOwnedObjects, 12, true, true, 0, 12,
         bytesOf(firstChild, secondChild, children[2]->GetID()), {"returning OwnedObjectIDs=" + allChildren + " (3/3)"}},
        {"owned objects, larger", kAudioObjectPropertyOwnedObjects, 20, true, true, 0, 12,
         bytesOf(firstChild, secondChild, children[2]->GetID()), {"returning OwnedObjectIDs=" + allChildren + " (3/3)"}},
        {"owned objects, no pointers", kAudioObjectPropertyOwnedObjects, 12, false, false, 0, kUntouchedSize, {},
         {"size buffer is null", "data buffer is null"}},
        {"custom property list, no room", kAudioObjectPropertyCustomPropertyInfoList, 11, true, true, 0, 0, {},
         {"returning CustomProperties=[..., ...] (0/2)"}},
        {"custom property list, room for one", kAudioObjectPropertyCustomPropertyInfoList, 23, true, true, 0, 12,
         bytesOf(stringInfo), {"returning CustomProperties=[..., ...] (1/2)"}},
        {"custom property list, exact", kAudioObjectPropertyCustomPropertyInfoList, 24, true, true, 0, 24,
         bytesOf(stringInfo, listInfo), {"returning CustomProperties=[..., ...] (2/2)"}},
        {"custom property list, larger", kAudioObjectPropertyCustomPropertyInfoList, 40, true, true, 0, 24,
         bytesOf(stringInfo, listInfo), {"returning CustomProperties=[..., ...] (2/2)"}},
        {"unknown selector", kUnknownProperty, 64, true, true, kAudioHardwareUnknownPropertyError, kUntouchedSize, {},
         {"property not found"}},
    };

    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.description);
        const AudioObjectPropertyAddress address{testCase.selector, kAudioObjectPropertyScopeGlobal, 0};
        std::array<unsigned char, 64> buffer;
        buffer.fill(0xAB);
        UInt32 outDataSize = kUntouchedSize;
        tracer->ClearLines();

        const OSStatus status = object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr,
                                                        testCase.inDataSize, testCase.sizePointer ? &outDataSize : nullptr,
                                                        testCase.dataPointer ? buffer.data() : nullptr);

        EXPECT_EQ(status, testCase.status);
        EXPECT_EQ(outDataSize, testCase.outDataSize);
        EXPECT_TRUE(std::equal(testCase.written.begin(), testCase.written.end(), buffer.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + testCase.written.size(), buffer.end(),
                                [](unsigned char byte) { return byte == 0xAB; }))
            << "written past the answer";
        EXPECT_EQ(MessagesOf(tracer->GetLines()), testCase.messages);
    }
}

TEST_F(ObjectPropertyTest, WrongObjectIDAndNullAddressAreRefusedByGetAndSet)
{
    const AudioObjectPropertyAddress address{kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, 0};
    UInt32 value = 0;
    UInt32 size = 0;
    EXPECT_EQ(object->GetPropertyData(owner->GetID(), kClientPID, &address, 0, nullptr, 4, &size, &value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(object->GetPropertyData(object->GetID(), kClientPID, nullptr, 0, nullptr, 4, &size, &value),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(object->SetPropertyData(owner->GetID(), kClientPID, &address, 0, nullptr, 4, &value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(object->SetPropertyData(object->GetID(), kClientPID, nullptr, 0, nullptr, 4, &value),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(value, 0u);
}

TEST_F(ObjectPropertyTest, NoBasePropertyIsSettable)
{
    for (const AudioObjectPropertySelector selector : std::initializer_list<AudioObjectPropertySelector>{
             kAudioObjectPropertyBaseClass, kAudioObjectPropertyClass, kAudioObjectPropertyOwner,
          kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyCustomPropertyInfoList}) {
        SCOPED_TRACE(hal::PropertySelectorToString(selector));
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal, 0};
        const UInt32 value = 0;
        tracer->ClearLines();
        EXPECT_EQ(object->SetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, sizeof value, &value),
                  kAudioHardwareUnknownPropertyError);
        EXPECT_EQ(MessagesOf(tracer->GetLines()), Lines{"property not found"});
    }
    EXPECT_EQ(object->GetOwnerID(), owner->GetID());
}

TEST_F(ObjectPropertyTest, PropertyOperationsTraceTheirBeginAndEnd)
{
    const AudioObjectPropertyAddress address{kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, 0};
    UInt32 value = 0;
    UInt32 size = 0;
    ASSERT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, 4, &size, &value), 0);
    EXPECT_EQ(object->SetPropertyData(object->GetID(), kClientPID, &address, 0, nullptr, 4, &value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(object->HasProperty(object->GetID(), 0, nullptr));

    EXPECT_EQ(tracer->GetLines(),
              (Lines{"Object::GetPropertyData() begin kAudioObjectPropertyClass clientPID=77 objectID=3 "
                     "scope=kAudioObjectPropertyScopeGlobal inSize=4",
                     "returning Class=" + std::to_string(kAudioObjectClassID),
                     "Object::GetPropertyData() end status=OK outSize=4",
                     "Object::SetPropertyData() begin kAudioObjectPropertyClass clientPID=77 objectID=3 "
                     "scope=kAudioObjectPropertyScopeGlobal inSize=4",
                     "property not found",
                     "Object::SetPropertyData() end status=kAudioHardwareUnknownPropertyError",
                     "Object::HasProperty() begin objectID=3",
                     "address is null",
                     "Object::HasProperty() end status=OK"}));
}

TEST_F(ObjectPropertyTest, OwnedObjectsIgnoreAClassQualifier)
{
    // A device among the children: a class-ID qualifier would select it alone, but it is not read.
    auto device = Make(kAudioDeviceClassID);
    object->AddOwnedObject(device, kAudioObjectPropertyScopeGlobal);
    const AudioObjectPropertyAddress address{kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, 0};
    const AudioClassID qualifier = kAudioDeviceClassID;
    UInt32 size = 0;
    ASSERT_EQ(object->GetPropertyDataSize(object->GetID(), kClientPID, &address, sizeof qualifier, &qualifier, &size),
              0);
    EXPECT_EQ(size, 16u);
    std::array<AudioObjectID, 4> ids{};
    ASSERT_EQ(object->GetPropertyData(object->GetID(), kClientPID, &address, sizeof qualifier, &qualifier,
                                      sizeof ids, &size, ids.data()),
              0);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(IDs(ids.begin(), ids.end()), (IDs{4, 5, 6, device->GetID()}));
}

// ---- Notification ------------------------------------------------------------------------------

TEST_F(ObjectTest, NotifyPropertiesChangedReachesTheHostInListOrder)
{
    TestHost host;
    mutableContext->Host.store(host.GetInterface(), std::memory_order_release);
    auto object = Make();
    tracer->ClearLines();

    object->NotifyPropertiesChanged({kAudioObjectPropertyName, kAudioObjectPropertyClass},
                                    kAudioObjectPropertyScopeOutput, 3);

    const std::vector<TestHost::Notification> expected{
        {object->GetID(),
         {{kAudioObjectPropertyName, kAudioObjectPropertyScopeOutput, 3},
          {kAudioObjectPropertyClass, kAudioObjectPropertyScopeOutput, 3}}}};
    EXPECT_EQ(host.GetNotifications(), expected);
    EXPECT_EQ(tracer->GetLines(), Lines{"Object::NotifyPropertiesChanged() sending notification for "
                                        "kAudioObjectPropertyName, kAudioObjectPropertyClass"});

    host.ClearNotifications();
    tracer->ClearLines();
    object->NotifyPropertiesChanged({}, kAudioObjectPropertyScopeGlobal, 0);
    EXPECT_TRUE(host.GetNotifications().empty());
    EXPECT_TRUE(tracer->GetLines().empty());
}

TEST_F(ObjectTest, NotifyPropertiesChangedIsSkippedSilentlyBeforeTheHostIsKnown)
{
    TestHost host;
    auto object = Make();
    tracer->ClearLines();

    object->NotifyPropertiesChanged({kAudioObjectPropertyName}, kAudioObjectPropertyScopeGlobal, 0);

    EXPECT_TRUE(host.GetNotifications().empty());
    EXPECT_TRUE(tracer->GetLines().empty());
}

} // namespace
