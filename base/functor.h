// Callables handed to the worker thread: an interface plus forms that bind an
// object, one of its member functions and up to two stored arguments.
#pragma once

class FunctorIf {
public:
    virtual ~FunctorIf() = default;
    // Every caller ignores what the bound member returns.
    virtual void operator()() = 0;
};

template <class Object, typename Result = void>
class MemberFunctor : public FunctorIf {
public:
    using Member = Result (Object::*)();

    MemberFunctor(Object* object, Member member) : object_(object), member_(member) {}
    void operator()() override { (object_->*member_)(); }

protected:
    Object* object_;
    Member member_;
};

template <class Object, typename Argument1, typename Result = void>
class MemberFunctor1 : public FunctorIf {
public:
    using Member = Result (Object::*)(Argument1);

    MemberFunctor1(Object* object, Member member, Argument1 argument1)
        : object_(object), member_(member), argument1_(argument1) {}
    void operator()() override { (object_->*member_)(argument1_); }

protected:
    Object* object_;
    Member member_;
    Argument1 argument1_;
};

template <class Object, typename Argument1, typename Argument2, typename Result = void>
class MemberFunctor2 : public FunctorIf {
public:
    using Member = Result (Object::*)(Argument1, Argument2);

    MemberFunctor2(Object* object, Member member, Argument1 argument1, Argument2 argument2)
        : object_(object), member_(member), argument1_(argument1), argument2_(argument2) {}
    void operator()() override { (object_->*member_)(argument1_, argument2_); }

protected:
    Object* object_;
    Member member_;
    Argument1 argument1_;
    Argument2 argument2_;
};
