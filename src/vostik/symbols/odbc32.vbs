' Call handlers of odbc32.xml. A statement's text is logged with its prepare call only, so it is
' kept here by statement handle and added to the execute call as "StatementText". The driver reads
' a bound parameter's buffer when the statement executes, not when it is bound: a bind call only
' tells where the value lies (buffer, C type, length or indicator), and each execute call reads
' every value of its statement there, as "Value[n]" with its C type as "ValueType[n]". Result
' codes get their names. VBScript, since its dates reach the log as dates.
Dim statements, bindings
Set statements = CreateObject("Scripting.Dictionary")
Set bindings = CreateObject("Scripting.Dictionary")

' ODBC's C data types, indicator values and lengths.
Const SQL_C_CHAR = 1, SQL_C_WCHAR = -8, SQL_C_LONG = 4, SQL_C_SLONG = -16, SQL_C_ULONG = -18
Const SQL_C_SHORT = 5, SQL_C_SSHORT = -15, SQL_C_DOUBLE = 8, SQL_C_FLOAT = 7
Const SQL_C_DATE = 9, SQL_C_TYPE_DATE = 91, SQL_C_TIMESTAMP = 11, SQL_C_TYPE_TIMESTAMP = 93
Const SQL_NULL_DATA = -1, SQL_DATA_AT_EXEC = -2, SQL_NTS = -3, SQL_LEN_DATA_AT_EXEC_OFFSET = -100
Const SQL_DROP = 1, SQL_RESET_PARAMS = 3, SQL_HANDLE_STMT = 3

Function ResultName(code)
  Select Case code
    Case 0: ResultName = "SQL_SUCCESS"
    Case 1: ResultName = "SQL_SUCCESS_WITH_INFO"
    Case 2: ResultName = "SQL_STILL_EXECUTING"
    Case 99: ResultName = "SQL_NEED_DATA"
    Case 100: ResultName = "SQL_NO_DATA"
    Case -1: ResultName = "SQL_ERROR"
    Case -2: ResultName = "SQL_INVALID_HANDLE"
  End Select
End Function

Sub NameResult(params)
  Dim result, name
  Set result = params.Item(0)
  name = ResultName(result.Value)
  If Not IsEmpty(name) Then result.Value = name
End Sub

Function ParamValue(params, name)
  Dim param
  Set param = params.Find(name)
  If param Is Nothing Then ParamValue = Null Else ParamValue = param.Value
End Function

Sub OnPrepare(params)
  statements(CStr(ParamValue(params, "StatementHandle"))) = ParamValue(params, "StatementText")
  NameResult params
End Sub

' Where parameter number of the statement handle finds its value from now on.
Sub KeepBinding(handle, number, valueType, p, indPtr)
  Dim key, numbers
  key = CStr(handle)
  If Not bindings.Exists(key) Then bindings.Add key, CreateObject("Scripting.Dictionary")
  Set numbers = bindings(key)
  numbers(CStr(number)) = Array(valueType, p, indPtr)
End Sub

' The value as the driver reads it now: the buffer, its C type and the length or indicator.
' Empty (unbound) for a value supplied at execution time, of a type not read here, or in memory
' that cannot be read (a buffer the program has freed).
Function BoundValue(valueType, p, indPtr)
  Dim ind
  BoundValue = Empty
  On Error Resume Next
  If indPtr = 0 Then ind = SQL_NTS Else ind = Memory.ReadInteger(indPtr)
  If Err.Number <> 0 Then Exit Function
  If ind = SQL_NULL_DATA Then
    BoundValue = Null
    Exit Function
  End If
  If ind = SQL_DATA_AT_EXEC Or ind <= SQL_LEN_DATA_AT_EXEC_OFFSET Or p = 0 Then Exit Function
  Select Case valueType
    Case SQL_C_WCHAR
      If ind = SQL_NTS Then BoundValue = Memory.ReadWideStringZ(p) Else BoundValue = Memory.ReadWideString(p, ind \ 2)
    Case SQL_C_CHAR
      If ind = SQL_NTS Then BoundValue = Memory.ReadAnsiStringZ(p) Else BoundValue = Memory.ReadAnsiString(p, ind)
    Case SQL_C_LONG, SQL_C_SLONG
      BoundValue = Memory.ReadInteger(p)
    Case SQL_C_ULONG
      BoundValue = Memory.ReadDWord(p)
    Case SQL_C_SHORT, SQL_C_SSHORT
      BoundValue = Memory.ReadWord(p)
    Case SQL_C_DOUBLE
      BoundValue = Memory.ReadDouble(p)
    Case SQL_C_FLOAT
      BoundValue = Memory.ReadSingle(p)
    Case SQL_C_DATE, SQL_C_TYPE_DATE
      BoundValue = DateSerial(Memory.ReadWord(p), Memory.ReadWord(p + 2), Memory.ReadWord(p + 4))
    Case SQL_C_TIMESTAMP, SQL_C_TYPE_TIMESTAMP
      BoundValue = CDate(DateSerial(Memory.ReadWord(p), Memory.ReadWord(p + 2), Memory.ReadWord(p + 4)) + _
                         TimeSerial(Memory.ReadWord(p + 6), Memory.ReadWord(p + 8), Memory.ReadWord(p + 10)))
  End Select
  If Err.Number <> 0 Then BoundValue = Empty
End Function

' Each bound value of the statement as the driver reads it at this execution.
Sub AddBoundValues(params, handle, valueName, typeName)
  Dim key, numbers, number, binding
  key = CStr(handle)
  If Not bindings.Exists(key) Then Exit Sub
  Set numbers = bindings(key)
  For Each number In numbers.Keys
    binding = numbers(number)
    params.Add(valueName & "[" & number & "]").Value = BoundValue(binding(0), binding(1), binding(2))
    params.Add(typeName & "[" & number & "]").Value = binding(0)
  Next
End Sub

Sub OnBindParameter(params)
  KeepBinding ParamValue(params, "StatementHandle"), ParamValue(params, "ParameterNumber"), _
              ParamValue(params, "ValueType"), ParamValue(params, "ParameterValuePtr"), _
              ParamValue(params, "StrLen_or_IndPtr")
  NameResult params
End Sub

Sub OnExecute(params)
  ExecuteStatement params, "StatementHandle", "StatementText", "Value"
End Sub

' An execute call of a prepared statement: its text and the values its bindings point to now.
Sub ExecuteStatement(params, handleName, textName, valueName)
  Dim handle
  handle = ParamValue(params, handleName)
  If statements.Exists(CStr(handle)) Then params.Add(textName).Value = statements(CStr(handle))
  AddBoundValues params, handle, valueName, "ValueType"
  NameResult params
End Sub

' SQLExecDirect and SQLExecDirectW carry their statement text themselves.
Sub OnExecDirect(params)
  AddBoundValues params, ParamValue(params, "StatementHandle"), "Value", "ValueType"
  NameResult params
End Sub

' A statement's bindings end with SQLFreeStmt (SQL_RESET_PARAMS; SQL_DROP ends its text too) and
' SQLFreeHandle.
Sub OnFree(params)
  Dim handle, opt
  handle = ParamValue(params, "StatementHandle")
  If IsNull(handle) Then
    If ParamValue(params, "HandleType") = SQL_HANDLE_STMT Then Forget ParamValue(params, "Handle"), True
  Else
    opt = ParamValue(params, "Option")
    If opt = SQL_DROP Or opt = SQL_RESET_PARAMS Then Forget handle, opt = SQL_DROP
  End If
  NameResult params
End Sub

Sub Forget(handle, withText)
  Dim key
  key = CStr(handle)
  If bindings.Exists(key) Then bindings.Remove key
  If withText And statements.Exists(key) Then statements.Remove key
End Sub
